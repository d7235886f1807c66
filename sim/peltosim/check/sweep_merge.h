// Merging the shards of one power-loss sweep (--sweep-merge): each shard's JSON report names its
// sweep (program, options, cut model, variants, the recording's cut points) and its cut runs;
// the merge checks that the shards belong to one sweep and together try every cut point once,
// then reports the whole sweep as one run of it would.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "sim/peltosim/run/options.h"

namespace peltosim {

// Prints the whole report (text, or JSON with options.json) to `out` and writes --sweep-svg;
// returns the exit status as the whole sweep would have. A shard that cannot be read, is no
// sweep report, belongs to another sweep, or a cut point tried twice or by no shard: a message
// naming the file on `err`, exit status 2.
int MergeSweepShards(const std::vector<std::string>& files, const Options& options, std::ostream& out, std::ostream& err);

}  // namespace peltosim
