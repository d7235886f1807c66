#include "sim/peltosim/run/lint_checks.h"

namespace peltosim {

std::optional<LintId> FindLintCheck(std::string_view name) {
    for (std::size_t i = 0; i < kLintChecks.size(); ++i)
        if (kLintChecks[i].name == name) return static_cast<LintId>(i);
    return std::nullopt;
}

std::string LintCheckNames() {
    std::string s;
    for (const auto& c : kLintChecks) s += (s.empty() ? "" : ", ") + std::string(c.name);
    return s;
}

}  // namespace peltosim
