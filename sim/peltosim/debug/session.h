// A debug session: one simulated run, driven by Debug Adapter Protocol requests.
//
// The run is the one `pelto-sim ARGS PROGRAM` would make (extensions, serial files, resets and
// power cuts, RAM fill, expectations); the session stops it at breakpoints, steps, shows and
// changes its state, and reports its end with the exit status the command would have.
// Reverse execution goes back through checkpoints (timeline.h).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/peltosim/base/extension_loader.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/torn.h"
#include "sim/peltosim/check/lint.h"
#include "sim/peltosim/run/options.h"
#include "sim/peltosim/host/sim_host.h"
#include "symbols.h"
#include "timeline.h"
#include "transport.h"
#include "values.h"

namespace peltosim::debug {

using nlohmann::json;

class Session : private Observer {
public:
    explicit Session(Transport& transport);
    ~Session() override;
    // Answers requests until the client disconnects or its input ends; the exit status.
    int Serve();

private:
    // kGoal: on to a given cycle and PC; kScout: on to a cycle, noting the last place to go back to.
    enum class Mode : uint8_t { kContinue, kStepIn, kNext, kStepOut, kInstruction, kGoal, kScout };
    // Thrown in a copy of a checkpoint, to unwind to Serve() with the copy's command.
    struct Resumed {
        json command;
    };
    struct Breakpoint {
        int id;
        std::string condition;
        std::string hit_condition;
        uint64_t hits = 0;
    };
    struct DataBreakpoint {
        MemSpace space;
        uint16_t address;
        uint16_t size;
        uint8_t access;  // sim8051::kWatchRead | kWatchWrite
    };
    struct Frame {
        uint16_t pc;
        const Function* function;
    };
    struct ScopeRef {
        enum class Kind : uint8_t { kLocals, kGlobals, kRegisters, kSfrs, kFlash } kind;
        std::size_t frame;
    };
    using Handle = std::variant<ScopeRef, ValueRef>;

    // ---- requests ----
    void Dispatch(const json& request);
    json Initialize(const json& args);
    json Launch(const json& args);
    json SetBreakpoints(const json& args);
    json SetFunctionBreakpoints(const json& args);
    json SetInstructionBreakpoints(const json& args);
    json SetExceptionBreakpoints(const json& args);
    json DataBreakpointInfo(const json& args);
    json SetDataBreakpoints(const json& args);
    json StackTrace(const json& args);
    json Scopes(const json& args);
    json Variables(const json& args);
    json SetVariable(const json& args);
    json Evaluate(const json& args);
    json ReadMemory(const json& args);
    json WriteMemory(const json& args);
    json Disassemble(const json& args);

    // ---- running ----
    // Runs as `mode` says and reports the stop (or the end) as events.
    void Resume(Mode mode);
    // Runs on until a stop; the reason for the stopped event, or nothing when the run ended.
    std::optional<std::string> RunUntilStop(Mode mode);
    bool BreakpointStops(uint16_t pc);
    bool StepStops(Mode mode, uint16_t start_pc, const std::optional<SourceLine>& start_line, uint8_t start_sp) const;
    void PowerCutNow();
    void TakeCheckpoint();
    void ScoutSees(bool data);
    void ScoutInstruction();
    void Continue(const json& command);
    void ArmLineStarts(bool on);
    void RearmBreakpoints();
    uint64_t NextPowerCut() const;
    void Poll();
    void FlushSerial();
    void SendStopped(const std::string& reason, const std::string& description = {});
    void SendEnded();
    int ExitStatus() const;
    // Back in time (timeline.h): to the last line start or breakpoint hit before now.
    void GoBack(const json& request, Mode mode);
    json SaveState() const;
    void RestoreState(const json& state);

    // ---- state ----
    std::vector<Frame> Frames() const;
    uint8_t Read(MemSpace space, uint16_t address) const;
    void Write(MemSpace space, uint16_t address, uint8_t value);
    unsigned Bank() const;
    int AddHandle(Handle handle);
    json Variable(const std::string& name, const ValueRef& v);
    bool ConditionHolds(const std::string& condition, uint16_t pc, std::string& error) const;
    std::optional<Place> ParseMemoryReference(const std::string& text) const;
    bool SetRegister(const std::string& name, uint32_t value);
    // A source file as the client can open it: found in the directories of the launch.
    std::string SourcePath(const std::string& file) const;

    // Observer, after the flash tracker and the lint: data breakpoints and the flash's stops.
    void RegisterWritten(uint64_t cycle, uint32_t id, uint8_t value, bool by_program) override;
    void TimerArmed(uint64_t, uint32_t, std::optional<uint64_t>) override { FlashEvents(); }
    void TimerExpired(uint64_t, uint32_t) override { FlashEvents(); }
    void MemoryWritten(uint64_t, uint32_t, uint32_t) override { FlashEvents(); }
    void CodeRead(uint64_t, uint16_t, uint16_t) override { FlashEvents(); }
    // Stops for the exception filters on what the flash tracker and the lint saw since the last look.
    void FlashEvents();
    void StopFor(const std::string& filter, const std::string& description);
    void DataAccessed(uint64_t cycle, sim8051::DataSpace space, uint16_t address, bool write, uint16_t pc) override;

    void Respond(const json& request, bool success, const json& body = json::object(), const std::string& message = {});
    void Event(const std::string& name, const json& body = json::object());

    Transport& transport_;
    int seq_ = 1;
    std::deque<json> queued_;  // requests that came while the program ran
    bool stop_requested_ = false;
    bool data_hit_ = false;
    bool launched_ = false;
    bool ended_ = false;
    bool stop_on_entry_ = false;
    bool disconnected_ = false;
    std::vector<std::string> source_dirs_;

    std::optional<Options> options_;
    std::unique_ptr<SimHost> host_;
    std::vector<LoadedExtension> extensions_;
    std::unique_ptr<Program> program_;
    std::unique_ptr<Values> values_;
    ObserverList observers_;
    std::unique_ptr<FlashTracker> tracker_;
    std::unique_ptr<TornCut> torn_;  // with torn power cuts
    std::unique_ptr<Lint> lint_;
    std::size_t operations_seen_ = 0;
    std::size_t operations_ended_ = 0;
    std::size_t findings_seen_ = 0;
    std::string exception_filter_;  // the filter of an exception stop
    RunEnd end_ = RunEnd::kHalted;
    std::size_t next_cut_ = 0;   // index into the power cuts, sorted
    std::vector<uint64_t> cuts_;
    bool cut_due_ = false;       // stopped just before a power cut: it happens on resuming
    uint64_t power_cuts_ = 0;
    std::size_t serial_sent_ = 0;
    uint64_t next_poll_ = 0;

    // Breakpoints by code address; the sources they came from, to answer set requests again.
    std::map<uint16_t, Breakpoint> line_breakpoints_;
    std::map<uint16_t, Breakpoint> function_breakpoints_;
    std::map<uint16_t, Breakpoint> instruction_breakpoints_;
    std::map<std::string, std::set<uint16_t>> lines_by_source_;
    std::vector<DataBreakpoint> data_breakpoints_;
    std::set<std::string> exception_filters_;
    int next_breakpoint_id_ = 1;
    bool line_starts_armed_ = false;
    std::string hit_description_;

    std::vector<Handle> handles_;
    Timeline timeline_;
    bool scouting_ = false;
    bool scout_lines_ = false;
    uint8_t scout_sp_ = 0;
    json scout_found_;
    uint64_t goal_cycle_ = 0;
    std::optional<uint16_t> goal_pc_;
    std::string goal_reason_;
};

}  // namespace peltosim::debug
