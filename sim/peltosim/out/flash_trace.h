// The flash events a user follows in a trace: the operations as FlashTracker finds them, and
// what the program's register writes and the extension's answers show besides.
//
//  - a bank control request accepted (the extension answers with the mode) or refused (no answer);
//  - an operation started, with its block or sectors; the second erase phase; the commit; an
//    abort (FCMD 6 -> 4), or a new request dropping a running operation (from the tracker);
//  - an abort with no operation running;
//  - an ECC error (the extension sets NMISTAT bit 6 on a MOVC read), with the address read;
//  - completion signalled (NMISTAT bit 2 set when the timer expires);
//  - a reset or power cut, with the operation it cut off.
// Each line carries the machine cycle and the program counter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "flash/regmap.h"
#include "sim/peltosim/host/flash_ops.h"

namespace peltosim {

class SimHost;

class FlashTrace : public FlashListener {
public:
    FlashTrace(const SimHost& host, const FlashTracker& tracker, std::FILE* out) : host_(host), tracker_(tracker), out_(out) {}
    void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program);
    void TimerArmed();
    void TimerExpired();
    // A reset or power cut from the host side, before it happens: it ends whatever ran, and the
    // extension's own writes that follow (its reset values) are no event of the program's.
    void ChipReset(uint64_t cycle, bool power_cut);
    // Reports a request still waiting for its answer.
    void Finish();

    void Started(const FlashOperation& op, uint64_t due) override;
    void SecondPhase(const FlashOperation& op, uint64_t due) override;
    void Ended(const FlashOperation& op) override;

private:
    struct Request {
        int control;
        uint8_t value;
        uint64_t cycle;
        uint16_t pc;
    };
    void Line(uint64_t cycle, const std::string& text);
    void Line(uint64_t cycle, uint16_t pc, const std::string& text);
    void SettleRequest();
    // "DFLASH 0 block 0xAF00-0xAF1F", "PFLASH PAIR 2 sector 2 (0x5F00-0x5FFF)"
    std::string What(const FlashOperation& op) const;

    const SimHost& host_;
    const FlashTracker& tracker_;
    std::FILE* out_;
    std::optional<Request> request_;
    bool answered_ = false;  // the current program write or timer expiry has been reported on
    bool expired_ = false;   // a timer expired since the last program write (not a reset's writes)
    bool resetting_ = false; // from a reset until the program writes again
};

}  // namespace peltosim
