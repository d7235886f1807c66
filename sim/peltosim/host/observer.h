// What the host observed, reported as it happens: the interface and a list of several.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/cpu/cpu.h"

namespace peltosim {

// What the host observed, for --trace, --vcd, the lint and the power-loss sweep.
struct Observer {
    virtual ~Observer() = default;
    // A register write: by the program (watched or on a page the host models) or by an extension.
    virtual void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) = 0;
    virtual void TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) = 0;
    virtual void TimerExpired(uint64_t cycle, uint32_t timer) = 0;
    // A reset or power cut from the host side (--reset-at, --power-cut-at), before it happens.
    virtual void ChipReset(uint64_t /*cycle*/, bool /*power_cut*/) {}
    // An extension's PeltoWriteMemory of `count` bytes at a host memory address, before they change.
    virtual void MemoryWritten(uint64_t /*cycle*/, uint32_t /*address*/, uint32_t /*count*/) {}
    // A MOVC data read of a code byte that an extension or a stop condition watches.
    virtual void CodeRead(uint64_t /*cycle*/, uint16_t /*address*/, uint16_t /*pc*/) {}
    // A program access of an SFR address whose register depends on the pages selected, with the
    // identifier it reached.
    virtual void SfrAccessed(uint64_t /*cycle*/, uint8_t /*address*/, uint32_t /*id*/, bool /*write*/, uint16_t /*pc*/) {}
    // A program access of a data byte watched by a stop condition or SimHost::ObserveData.
    virtual void DataAccessed(uint64_t /*cycle*/, sim8051::DataSpace /*space*/, uint16_t /*address*/, bool /*write*/,
                              uint16_t /*pc*/) {}
};

// Several observers of one host, called in the order they were added.
class ObserverList : public Observer {
public:
    void Add(Observer* o) { observers_.push_back(o); }
    void Remove(Observer* o) { std::erase(observers_, o); }
    void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) override;
    void TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) override;
    void TimerExpired(uint64_t cycle, uint32_t timer) override;
    void ChipReset(uint64_t cycle, bool power_cut) override;
    void MemoryWritten(uint64_t cycle, uint32_t address, uint32_t count) override;
    void CodeRead(uint64_t cycle, uint16_t address, uint16_t pc) override;
    void DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t pc) override;
    void SfrAccessed(uint64_t cycle, uint8_t address, uint32_t id, bool write, uint16_t pc) override;

private:
    std::vector<Observer*> observers_;
};

}  // namespace peltosim
