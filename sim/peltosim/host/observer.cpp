#include "sim/peltosim/host/observer.h"

namespace peltosim {

void ObserverList::RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) {
    for (auto* o : observers_) o->RegisterWritten(cycle, id, value, by_program);
}
void ObserverList::TimerArmed(uint64_t cycle, uint32_t timer, std::optional<uint64_t> due) {
    for (auto* o : observers_) o->TimerArmed(cycle, timer, due);
}
void ObserverList::TimerExpired(uint64_t cycle, uint32_t timer) {
    for (auto* o : observers_) o->TimerExpired(cycle, timer);
}
void ObserverList::ChipReset(uint64_t cycle, bool power_cut) {
    for (auto* o : observers_) o->ChipReset(cycle, power_cut);
}
void ObserverList::MemoryWritten(uint64_t cycle, uint32_t address, uint32_t count) {
    for (auto* o : observers_) o->MemoryWritten(cycle, address, count);
}
void ObserverList::CodeRead(uint64_t cycle, uint16_t address, uint16_t pc) {
    for (auto* o : observers_) o->CodeRead(cycle, address, pc);
}
void ObserverList::DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t pc) {
    for (auto* o : observers_) o->DataAccessed(cycle, space, address, write, pc);
}

void ObserverList::SfrAccessed(uint64_t cycle, uint8_t address, uint32_t id, bool write, uint16_t pc) {
    for (auto* o : observers_) o->SfrAccessed(cycle, address, id, write, pc);
}

}  // namespace peltosim
