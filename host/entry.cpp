#include <cstring>

#include "extension.h"
#include "flash/capture.h"
#include "flash/regmap.h"
#include "flash/rom/images.h"
#include "flash/sequencer.h"
#include "ui/status_window.h"

namespace host {
namespace {

Extension g_extension;

// Handlers registered by an earlier start-up stay registered after a later one that found the
// host lacking a service: they act only while the current table is complete.
void SequencerHandler() {
    if (g_extension.services.Complete()) flash::RunSequencer(g_extension.flash, g_extension.services);
}
void CaptureHandler() {
    if (g_extension.services.Complete()) flash::CaptureFlashByte(g_extension.flash, g_extension.services);
}
void EccHandler() {
    if (g_extension.services.Complete()) flash::CheckFlashReadEcc(g_extension.flash, g_extension.services);
}

struct RegisterWatch {
    flash::Reg reg;
    PeltoHandler handler;
};
// Registration order matters to hosts that list watches; keep it.
constexpr std::array kRegisterWatches{
    RegisterWatch{flash::Reg::FCTL_P0A, SequencerHandler}, RegisterWatch{flash::Reg::FCTL_P0B, SequencerHandler},
    RegisterWatch{flash::Reg::FCTL_P1A, SequencerHandler}, RegisterWatch{flash::Reg::FCTL_P1B, SequencerHandler},
    RegisterWatch{flash::Reg::FCTL_P2A, SequencerHandler}, RegisterWatch{flash::Reg::FCTL_P2B, SequencerHandler},
    RegisterWatch{flash::Reg::FCTL_D0, SequencerHandler},  RegisterWatch{flash::Reg::FCTL_D1, SequencerHandler},
    RegisterWatch{flash::Reg::FCMD, SequencerHandler},     RegisterWatch{flash::Reg::FDATA, CaptureHandler},
};

bool DefineVirtualRegisters(Extension& ext) {
    bool all = true;
    for (std::size_t i = 0; i < kVirtualRegisters.size(); ++i) {
        const auto& vtr = kVirtualRegisters[i];
        ext.virtual_registers[i] = ext.services.DefineVTR(vtr.name, vtr.type_code, vtr.initial);
        all = all && ext.virtual_registers[i] != 0;
    }
    return all;
}

bool RegisterWatchesAndTimer(Extension& ext) {
    const Services& host = ext.services;
    uint32_t combined = kResultSuccess;
    for (const auto& watch : kRegisterWatches)
        combined &= host.SetWatchOnSFR(flash::Id(watch.reg), watch.handler, kAccessAfterWrite);
    for (const auto& range : flash::kWatchedCode)
        combined &= host.SetWatchOnMemory(flash::CodeAddress(range.first), flash::CodeAddress(range.last), EccHandler,
                                          kAccessOnRead);
    ext.flash.timer = host.CreateTimer(SequencerHandler);
    return ext.flash.timer != 0 && combined != 0;
}

uint32_t Check(const void* record) {
    if (record == nullptr) return kResultFailure;
    uint32_t processor = 0;
    std::memcpy(&processor, record, sizeof processor);
    return processor == PELTO_PROCESSOR_8051 ? kResultSuccess : kResultFailure;
}

}  // namespace

Extension& TheExtension() { return g_extension; }

uint32_t StartUp(Extension& ext, const PeltoStartupRecord& record, Resolver resolve) {
    ext.startup = record;
    if (!ext.services.Resolve(ext.startup.host_module, resolve)) return kResultFailure;
    // This chip declares no interrupts of its own.
    if (!DefineVirtualRegisters(ext)) return kResultFailure;
    if (!RegisterWatchesAndTimer(ext)) return kResultFailure;
    ui::UseServices(ext.services);
    if (ext.services.DefineMenuItem(&ui::TheMenuItem()) == 0) return kResultFailure;
    ext.flash.ClearBuffers();
    for (const auto& image : flash::rom::Images())
        ext.services.WriteMemory(flash::CodeAddress(image.address), static_cast<uint32_t>(image.bytes.size()),
                                 image.bytes.data());
    ext.flash.start_time = flash::kNoStartTime;
    ext.flash.armed_for = 0;
    ext.services.SetTimer(ext.flash.timer, flash::kTimerDisarm);
    return kResultSuccess;
}

uint32_t Reset(const Extension& ext) {
    // Before a start-up that found every service there is nobody to call.
    if (!ext.services.Complete()) return kResultFailure;
    uint32_t combined = kResultSuccess;
    for (const auto& reg : flash::kRegisters)
        if (reg.reset != flash::kNotReset)
            combined &= ext.services.WriteSFR(reg.id, static_cast<uint32_t>(reg.reset), 0xFF);
    return combined != 0 ? kResultSuccess : kResultFailure;
}

uint32_t Entry(uint32_t code, void* record, Resolver resolve) {
    switch (code) {
    case PELTO_ENTRY_CHECK:
        return Check(record);
    case PELTO_ENTRY_START:
        if (record == nullptr) return kResultFailure;
        return StartUp(g_extension, *static_cast<const PeltoStartupRecord*>(record), resolve);
    case PELTO_ENTRY_RESET:
        return Reset(g_extension);
    default:
        return kResultSuccess;
    }
}

}  // namespace host

extern "C" PELTO_EXPORT uint32_t PeltoEntry(uint32_t code, void* record) {
    return host::Entry(code, record, host::PlatformResolve);
}
