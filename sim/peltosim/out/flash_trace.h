// The flash events a user follows in a trace, worked out from what the host observes: the
// program's register writes, the extension's answers to them and its timer.
//
//  - a bank control request accepted (the extension answers with the mode) or refused (no answer);
//  - an operation started (FCMD start answered by arming the timer), with its block or sectors;
//  - the second erase phase; the commit (the bank back in read mode when the timer expires);
//  - an abort (FCMD 6 -> 4 answered with read mode), or a new request dropping a running operation;
//  - an ECC error (the extension sets NMISTAT bit 6 on a MOVC read), with the address read;
//  - completion signalled (NMISTAT bit 2 set when the timer expires).
// Each line carries the machine cycle and the program counter.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "flash/regmap.h"

namespace peltosim {

class SimHost;

class FlashTrace {
public:
    FlashTrace(const SimHost& host, std::FILE* out) : host_(host), out_(out) {}
    void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program);
    void TimerArmed(uint64_t cycle, std::optional<uint64_t> due);
    void TimerExpired(uint64_t cycle);
    // Reports a request still waiting for its answer.
    void Finish();

private:
    struct Request {
        int control;
        uint8_t value;
        uint64_t cycle;
        uint16_t pc;
    };
    struct Operation {
        bool erase;
        std::string what;  // "DFLASH 0 block 0xAF00-0xAF1F"
    };
    void Line(uint64_t cycle, const std::string& text);
    void Line(uint64_t cycle, uint16_t pc, const std::string& text);
    void SettleRequest();
    std::optional<int> ControlIn(uint8_t mode) const;
    std::optional<Operation> Describe() const;
    std::string ProgramBlock(int bank) const;
    std::string EraseSectors(int bank) const;
    uint8_t Value(flash::Reg reg) const;

    const SimHost& host_;
    std::FILE* out_;
    std::optional<Request> request_;
    std::optional<Operation> running_;
    std::array<std::optional<uint16_t>, flash::kBankCount> last_data_address_{};
    bool answered_ = false;  // the current program write or timer expiry has been reported on
    bool expired_ = false;   // a timer expired since the last program write (not a reset's writes)
};

}  // namespace peltosim
