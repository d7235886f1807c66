#include "session.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "flash/regmap.h"
#include "sim/chip/regs.h"
#include "sim/cpu/opcodes.h"
#include "sim/peltosim/base/numbers.h"
#include "sim/peltosim/check/expect.h"
#include "sim/peltosim/run/exit_codes.h"
#include "sim/peltosim/run/program_loader.h"
#include "base64.h"
#include "disassembler.h"

namespace peltosim::debug {
namespace {

constexpr int kThreadId = 1;
constexpr unsigned kByteBits = 8;
constexpr unsigned kByteMask = 0xFF;
constexpr uint16_t kIdataMask = sim8051::Cpu::kIramSize - 1;
constexpr uint32_t kAddressMask = 0xFFFF;  // a host memory address's offset in its space
constexpr uint64_t kPollCycles = 1'000'000;
constexpr uint8_t kFirstStackByte = 0x08;  // above register bank 0
constexpr unsigned kRegisterCount = 8;
constexpr unsigned kCallLength = 3;   // LCALL
constexpr unsigned kAcallLength = 2;
constexpr uint8_t kAcallMask = 0x1F;
constexpr unsigned kAcallPageShift = 3;  // opcode bits 7..5 are target bits 10..8
constexpr uint16_t kAcallBlockMask = 0xF800;
constexpr std::string_view kPowerCutFilter = "powerCut";
constexpr std::string_view kFlashStartFilter = "flashStart";
constexpr std::string_view kFlashEndFilter = "flashEnd";
constexpr std::string_view kEccFilter = "eccError";
constexpr std::string_view kLintFilter = "lint";

struct Filter {
    std::string_view filter;
    const char* label;
    bool on;
    const char* description;
};
constexpr Filter kFilters[] = {
    {kPowerCutFilter, "Power cut", true, "Stop just before a power cut (--power-cut-at); continuing boots the firmware again"},
    {kFlashStartFilter, "Flash operation start", false, "Stop after the instruction that starts a program or erase"},
    {kFlashEndFilter, "Flash operation end", false, "Stop when a flash operation commits or is aborted"},
    {kEccFilter, "ECC error", false, "Stop when the flash reports an ECC error to the firmware (NMISTAT bit 6)"},
    {kLintFilter, "Lint finding", false, "Stop at a flash lint finding (launch with --lint)"},
};
// How far before an address the decoding starts, in bytes per instruction wanted, when the
// instructions before it are asked for (8051 code cannot be decoded backwards).
constexpr int kBytesBackPerInstruction = 3;
// Longer than any instruction or interrupt call, in machine cycles.
constexpr uint64_t kInstructionWindow = 8;

struct SpaceName {
    std::string_view name;
    MemSpace space;
    uint32_t size;
};
constexpr SpaceName kSpaces[] = {{"code", MemSpace::kCode, 0x10000},
                                 {"xdata", MemSpace::kXdata, 0x10000},
                                 {"idata", MemSpace::kIdata, 0x100}};

std::string_view SpaceText(MemSpace space) {
    for (const auto& s : kSpaces)
        if (s.space == space) return s.name;
    return "sfr";
}

uint32_t SpaceSize(MemSpace space) {
    for (const auto& s : kSpaces)
        if (s.space == space) return s.size;
    return 0;
}

std::string FunctionName(const Function* f) { return f ? f->name : "??"; }

json FilterList() {
    json list = json::array();
    for (const auto& f : kFilters)
        list.push_back({{"filter", f.filter}, {"label", f.label}, {"default", f.on}, {"description", f.description}});
    return list;
}

}  // namespace

Session::Session(Transport& transport) : transport_(transport) {}
Session::~Session() = default;

void Session::Respond(const json& request, bool success, const json& body, const std::string& message) {
    json response{{"seq", seq_++}, {"type", "response"}, {"request_seq", request.value("seq", 0)},
                  {"command", request.value("command", "")}, {"success", success}, {"body", body}};
    if (!success) response["message"] = message;
    transport_.Send(response);
}

void Session::Event(const std::string& name, const json& body) {
    transport_.Send({{"seq", seq_++}, {"type", "event"}, {"event", name}, {"body", body}});
}

int Session::Serve() {
    // A copy of a checkpoint starts with the command it was made for (timeline.h).
    std::optional<json> copied;
    for (;;) {
        if (copied) {
            const json command = std::move(*copied);
            copied.reset();
            try {
                Continue(command);
            } catch (const Resumed& resumed) {
                copied = resumed.command;
            }
            if (disconnected_) break;
            continue;
        }
        std::optional<json> request;
        if (!queued_.empty()) {
            request = std::move(queued_.front());
            queued_.pop_front();
        } else {
            request = transport_.Read();
        }
        if (!request) break;
        try {
            Dispatch(*request);
        } catch (const Resumed& resumed) {
            copied = resumed.command;
        }
        if (disconnected_) break;
    }
    return ended_ ? ExitStatus() : kExitOk;
}

void Session::Dispatch(const json& request) {
    const std::string command = request.value("command", "");
    const json args = request.value("arguments", json::object());
    try {
        if (command == "initialize") return Respond(request, true, Initialize(args));
        if (command == "launch") {
            Launch(args);
            Respond(request, true);
            Event("initialized");
            return;
        }
        if (command == "disconnect" || command == "terminate") {
            disconnected_ = true;
            Respond(request, true);
            return;
        }
        if (!launched_) return Respond(request, false, {}, "no program launched");
        if (command == "setBreakpoints") return Respond(request, true, SetBreakpoints(args));
        if (command == "setFunctionBreakpoints") return Respond(request, true, SetFunctionBreakpoints(args));
        if (command == "setInstructionBreakpoints") return Respond(request, true, SetInstructionBreakpoints(args));
        if (command == "setExceptionBreakpoints") return Respond(request, true, SetExceptionBreakpoints(args));
        if (command == "dataBreakpointInfo") return Respond(request, true, DataBreakpointInfo(args));
        if (command == "setDataBreakpoints") return Respond(request, true, SetDataBreakpoints(args));
        if (command == "threads") return Respond(request, true, {{"threads", {{{"id", kThreadId}, {"name", "8051"}}}}});
        if (command == "stackTrace") return Respond(request, true, StackTrace(args));
        if (command == "scopes") return Respond(request, true, Scopes(args));
        if (command == "variables") return Respond(request, true, Variables(args));
        if (command == "setVariable") return Respond(request, true, SetVariable(args));
        if (command == "evaluate") return Respond(request, true, Evaluate(args));
        if (command == "readMemory") return Respond(request, true, ReadMemory(args));
        if (command == "writeMemory") return Respond(request, true, WriteMemory(args));
        if (command == "disassemble") return Respond(request, true, Disassemble(args));
        if (command == "pause") {
            Respond(request, true);
            return ended_ ? void() : SendStopped("pause");
        }
        if (ended_) return Respond(request, false, {}, "the run has ended");
        if (command == "configurationDone") {
            Respond(request, true);
            if (timeline_.Start()) TakeCheckpoint();
            if (stop_on_entry_) return SendStopped("entry");
            return Resume(Mode::kContinue);
        }
        const std::string granularity = args.value("granularity", "");
        const bool instruction = granularity == "instruction";
        if (command == "continue") {
            Respond(request, true, {{"allThreadsContinued", true}});
            return Resume(Mode::kContinue);
        }
        if (command == "next" || command == "stepIn" || command == "stepOut") {
            Respond(request, true);
            const Mode mode = instruction && command != "stepOut" ? Mode::kInstruction
                              : command == "next"                 ? Mode::kNext
                              : command == "stepIn"               ? Mode::kStepIn
                                                                  : Mode::kStepOut;
            return Resume(mode);
        }
        if (command == "stepBack" || command == "reverseContinue") {
            if (!timeline_.enabled()) return Respond(request, false, {}, "going back needs checkpoints, not available here");
            return GoBack(request, command == "stepBack" ? (instruction ? Mode::kInstruction : Mode::kNext) : Mode::kContinue);
        }
        Respond(request, false, {}, "unsupported request '" + command + "'");
    } catch (const Resumed&) {
        throw;
    } catch (const std::exception& e) {
        Respond(request, false, {}, e.what());
    }
}

json Session::Initialize(const json&) {
    return {{"supportsConfigurationDoneRequest", true},
            {"supportsFunctionBreakpoints", true},
            {"supportsConditionalBreakpoints", true},
            {"supportsHitConditionalBreakpoints", true},
            {"supportsEvaluateForHovers", true},
            {"supportsSetVariable", true},
            {"supportsStepBack", true},
            {"supportsDataBreakpoints", true},
            {"supportsReadMemoryRequest", true},
            {"supportsWriteMemoryRequest", true},
            {"supportsDisassembleRequest", true},
            {"supportsInstructionBreakpoints", true},
            {"supportsSteppingGranularity", true},
            {"supportsTerminateRequest", true},
            {"exceptionBreakpointFilters", FilterList()}};
}

// ---- launching ----

json Session::Launch(const json& args) {
    if (launched_) throw std::runtime_error("already launched");
    // After a launch that failed part way: nothing of it is kept.
    extensions_.clear();
    exception_filters_.clear();
    const std::string program = args.value("program", "");
    if (program.empty()) throw std::runtime_error("launch needs \"program\": the firmware's HEX file");
    std::vector<std::string> argv;
    for (const auto& a : args.value("args", json::array())) argv.push_back(a.get<std::string>());
    argv.push_back(program);
    std::string error;
    options_ = ParseOptions(argv, error);
    if (!options_) throw std::runtime_error(error);
    stop_on_entry_ = args.value("stopOnEntry", false);
    for (const auto& d : args.value("sourceDirs", json::array())) source_dirs_.push_back(d.get<std::string>());
    source_dirs_.push_back(std::filesystem::path(program).parent_path().string());

    std::string cdb = args.value("debugInfo", "");
    if (cdb.empty()) {
        const auto beside = std::filesystem::path(program).replace_extension(".cdb");
        if (std::filesystem::exists(beside)) cdb = beside.string();
    }
    if (!cdb.empty()) {
        auto info = ReadCdb(cdb, error);
        if (!info) throw std::runtime_error(error);
        program_ = std::make_unique<Program>(std::move(*info));
    } else {
        program_ = std::make_unique<Program>(DebugInfo{});
    }
    values_ = std::make_unique<Values>(
        *program_, MemoryAccess{[this](MemSpace s, uint16_t a) { return Read(s, a); },
                                [this](MemSpace s, uint16_t a, uint8_t v) { Write(s, a, v); }});

    host_ = std::make_unique<SimHost>();
    host_->SetClock(options_->clock_hz);
    for (const auto& name : options_->failing_services)
        if (!host_->FailService(name)) throw std::runtime_error("--fail-service '" + name + "': not a service extensions call");
    for (const auto& path : options_->extensions) {
        LoadedExtension loaded;
        if (!LoadExtension(path, loaded, error)) throw std::runtime_error(error);
        extensions_.push_back(loaded);
    }
    LoadedMask loaded;
    if (!LoadPrograms(*options_, !extensions_.empty(), host_->cpu().Code(), loaded, error)) throw std::runtime_error(error);
    // The flash's operations (and the lint, when asked for) are followed for the exception
    // filters and the Flash scope; this session looks after them.
    tracker_ = std::make_unique<FlashTracker>(*host_);
    // Before the tracker: at a cut it tears the operation that the tracker then ends.
    if (options_->cut_torn && !options_->power_cut_at.empty()) {
        torn_ = std::make_unique<TornCut>(*host_, *tracker_, CutVariants(*options_), options_->metastable);
        observers_.Add(torn_.get());
    }
    observers_.Add(tracker_.get());
    if (options_->lint) {
        lint_ = std::make_unique<Lint>(*host_, *tracker_, options_->lint_off);
        observers_.Add(lint_.get());
    }
    observers_.Add(this);
    host_->SetObserver(&observers_);
    host_->OnReset([this] {
        for (const auto& e : extensions_)
            if (ResetExtension(e) == 0) Event("output", {{"category", "stderr"}, {"output", "extension '" + e.path + "' reset failed\n"}});
    });
    // A power cut starts every extension afresh, loaded again and started, as a run does.
    host_->OnPowerOn([this] {
        for (auto& e : extensions_) {
            std::string why;
            UnloadExtension(e);
            if (!LoadExtension(e.path, e, why))
                Event("output", {{"category", "stderr"}, {"output", "after the power cut: " + why + "\n"}});
        }
    });
    host_->Reset();
    host_->SetSerialOutput(nullptr, true);
    if (options_->serial_in) {
        std::ifstream in(*options_->serial_in, std::ios::binary);
        if (!in) throw std::runtime_error("--serial-in: cannot read '" + *options_->serial_in + "'");
        host_->chip().serial().SetInput(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    }
    for (uint64_t cycle : options_->reset_at) host_->ScheduleReset(cycle, false);
    // Power cuts are the session's own, so that it can stop just before one.
    cuts_ = options_->power_cut_at;
    std::sort(cuts_.begin(), cuts_.end());
    host_->SetRamFill({options_->ram_fill_random, options_->ram_fill_byte, options_->ram_fill_seed});
    if (!extensions_.empty())
        for (const auto& range : flash::kWatchedCode) host_->KeepOnPowerCut(range.first, range.last);
    for (const auto& f : kFilters)
        if (f.on) exception_filters_.insert(std::string(f.filter));
    launched_ = true;
    return {};
}

// ---- breakpoints ----

namespace {

json Verified(int id, bool verified, std::optional<uint32_t> line = {}, std::string message = {}) {
    json b{{"id", id}, {"verified", verified}};
    if (line) b["line"] = *line;
    if (!message.empty()) b["message"] = message;
    return b;
}

}  // namespace

void Session::RearmBreakpoints() {
    auto& cpu = host_->cpu();
    cpu.ClearBreakpoints();
    for (const auto* table : {&line_breakpoints_, &function_breakpoints_, &instruction_breakpoints_})
        for (const auto& [address, b] : *table) cpu.SetBreakpoint(address, true);
    if (line_starts_armed_)
        for (const auto a : program_->line_starts()) cpu.SetBreakpoint(a, true);
}

void Session::ArmLineStarts(bool on) {
    line_starts_armed_ = on;
    RearmBreakpoints();
}

json Session::SetBreakpoints(const json& args) {
    const auto source = args.value("source", json::object());
    const std::string path = source.value("path", source.value("name", ""));
    // This source's breakpoints are replaced; the others stay.
    for (const auto address : lines_by_source_[path]) line_breakpoints_.erase(address);
    lines_by_source_[path].clear();
    json result = json::array();
    for (const auto& b : args.value("breakpoints", json::array())) {
        const uint32_t line = b.value("line", 0u);
        uint32_t actual = 0;
        const auto addresses = program_->LineAddresses(path, line, &actual);
        const int id = next_breakpoint_id_++;
        if (addresses.empty()) {
            result.push_back(Verified(id, false, line, "no code at or after this line"));
            continue;
        }
        for (const auto a : addresses) {
            line_breakpoints_[a] = {id, b.value("condition", ""), b.value("hitCondition", "")};
            lines_by_source_[path].insert(a);
        }
        result.push_back(Verified(id, true, actual));
    }
    RearmBreakpoints();
    return {{"breakpoints", result}};
}

json Session::SetFunctionBreakpoints(const json& args) {
    function_breakpoints_.clear();
    json result = json::array();
    for (const auto& b : args.value("breakpoints", json::array())) {
        const int id = next_breakpoint_id_++;
        std::string error;
        auto address = ResolveWhere(program_.get(), b.value("name", ""), error);
        if (const auto* f = address ? program_->FunctionAt(*address) : nullptr; f && *f->start == *address)
            address = program_->BodyStart(*f);
        if (!address) {
            result.push_back(Verified(id, false, {}, error));
            continue;
        }
        function_breakpoints_[*address] = {id, b.value("condition", ""), b.value("hitCondition", "")};
        json v = Verified(id, true);
        if (const auto line = program_->LineAt(*address)) v["line"] = line->line;
        result.push_back(v);
    }
    RearmBreakpoints();
    return {{"breakpoints", result}};
}

json Session::SetInstructionBreakpoints(const json& args) {
    instruction_breakpoints_.clear();
    json result = json::array();
    for (const auto& b : args.value("breakpoints", json::array())) {
        const int id = next_breakpoint_id_++;
        const auto place = ParseMemoryReference(b.value("instructionReference", ""));
        if (!place || place->space != MemSpace::kCode) {
            result.push_back(Verified(id, false, {}, "not a code address"));
            continue;
        }
        const auto address = static_cast<uint16_t>(place->address + b.value("offset", 0));
        instruction_breakpoints_[address] = {id, b.value("condition", ""), b.value("hitCondition", "")};
        result.push_back(Verified(id, true));
    }
    RearmBreakpoints();
    return {{"breakpoints", result}};
}

json Session::SetExceptionBreakpoints(const json& args) {
    exception_filters_.clear();
    for (const auto& f : args.value("filters", json::array())) exception_filters_.insert(f.get<std::string>());
    return json::object();
}

json Session::DataBreakpointInfo(const json& args) {
    const std::string name = args.value("name", "");
    std::optional<ValueRef> v;
    std::string error;
    if (args.contains("variablesReference")) {
        const auto ref = args["variablesReference"].get<int>();
        if (ref > 0 && static_cast<std::size_t>(ref) <= handles_.size()) {
            if (const auto* value = std::get_if<ValueRef>(&handles_[ref - 1])) {
                for (const auto& c : values_->Children(*value))
                    if (c.name == name) v = c.value;
            } else if (const auto* scope = std::get_if<ScopeRef>(&handles_[ref - 1])) {
                const auto frames = Frames();
                const uint16_t pc = scope->frame < frames.size() ? frames[scope->frame].pc : host_->cpu().Pc();
                v = values_->Lookup(name, pc, Bank(), error);
            }
        }
    } else {
        v = values_->Lookup(name, host_->cpu().Pc(), Bank(), error);
    }
    if (!v || v->bytes.empty() || (v->bytes.front().space != MemSpace::kXdata && v->bytes.front().space != MemSpace::kIdata))
        return {{"dataId", nullptr}, {"description", "only variables in xdata or idata can be watched"}};
    const auto& first = v->bytes.front();
    const std::string id = std::string(SpaceText(first.space)) + ":" + Hex(first.address, 4) + std::string(":") + std::to_string(v->bytes.size());
    return {{"dataId", id}, {"description", name + " (" + id + ")"}, {"accessTypes", {"read", "write", "readWrite"}}};
}

json Session::SetDataBreakpoints(const json& args) {
    auto& cpu = host_->cpu();
    for (const auto& d : data_breakpoints_)
        cpu.WatchData(d.space == MemSpace::kXdata ? sim8051::DataSpace::kXdata : sim8051::DataSpace::kIdata, d.address,
                      static_cast<uint16_t>(d.address + d.size - 1), d.access, false);
    data_breakpoints_.clear();
    json result = json::array();
    for (const auto& b : args.value("breakpoints", json::array())) {
        const int id = next_breakpoint_id_++;
        const std::string data_id = b.value("dataId", "");
        const auto last_colon = data_id.rfind(':');
        const auto place = ParseMemoryReference(data_id.substr(0, last_colon));
        const auto size = last_colon == std::string::npos ? 0 : std::stoul(data_id.substr(last_colon + 1));
        if (!place || size == 0 || (place->space != MemSpace::kXdata && place->space != MemSpace::kIdata)) {
            result.push_back(Verified(id, false, {}, "not a data location"));
            continue;
        }
        const std::string access = b.value("accessType", "write");
        const uint8_t flags = access == "read" ? sim8051::kWatchRead
                              : access == "write" ? sim8051::kWatchWrite
                                                  : static_cast<uint8_t>(sim8051::kWatchRead | sim8051::kWatchWrite);
        data_breakpoints_.push_back({place->space, place->address, static_cast<uint16_t>(size), flags});
        result.push_back(Verified(id, true));
    }
    for (const auto& d : data_breakpoints_)
        host_->ObserveData(d.space == MemSpace::kXdata ? sim8051::DataSpace::kXdata : sim8051::DataSpace::kIdata, d.address,
                           static_cast<uint16_t>(d.address + d.size - 1), d.access);
    return {{"breakpoints", result}};
}

void Session::DataAccessed(uint64_t, sim8051::DataSpace space, uint16_t address, bool write, uint16_t) {
    const MemSpace s = space == sim8051::DataSpace::kXdata ? MemSpace::kXdata : MemSpace::kIdata;
    const uint8_t access = write ? sim8051::kWatchWrite : sim8051::kWatchRead;
    for (const auto& d : data_breakpoints_) {
        if (d.space != s || address < d.address || address >= d.address + d.size || (d.access & access) == 0) continue;
        data_hit_ = true;
        hit_description_ = std::string(write ? "write of " : "read of ") + std::string(SpaceText(s)) + ":" + Hex(address, 4);
        host_->Stop();
        return;
    }
}

bool Session::BreakpointStops(uint16_t pc) {
    Breakpoint* b = nullptr;
    for (auto* table : {&line_breakpoints_, &function_breakpoints_, &instruction_breakpoints_})
        if (auto it = table->find(pc); it != table->end()) b = &it->second;
    if (!b) return false;
    if (!b->condition.empty()) {
        std::string error;
        if (!ConditionHolds(b->condition, pc, error)) {
            if (!error.empty()) {
                hit_description_ = "condition '" + b->condition + "': " + error;
                return true;  // a condition that cannot be evaluated stops, and says why
            }
            return false;
        }
    }
    ++b->hits;
    const std::string& h = b->hit_condition;
    if (h.empty()) return true;
    std::string_view op = h;
    std::string_view number = h;
    for (const std::string_view prefix : {">=", "==", ">", "%"})
        if (number.starts_with(prefix)) {
            op = prefix;
            number.remove_prefix(prefix.size());
            break;
        }
    if (op == h) op = "==";
    while (!number.empty() && number.front() == ' ') number.remove_prefix(1);
    uint64_t n = 0;
    try {
        n = std::stoull(std::string(number));
    } catch (const std::exception&) {
        hit_description_ = "bad hit condition '" + h + "'";
        return true;
    }
    if (op == ">=") return b->hits >= n;
    if (op == ">") return b->hits > n;
    if (op == "%") return n != 0 && b->hits % n == 0;
    return b->hits == n;
}

bool Session::ConditionHolds(const std::string& condition, uint16_t pc, std::string& error) const {
    static constexpr std::string_view kOperators[] = {"==", "!=", "<=", ">=", "<", ">"};
    for (const auto op : kOperators) {
        const auto at = condition.find(op);
        if (at == std::string::npos) continue;
        auto trim = [](std::string t) {
            t.erase(0, t.find_first_not_of(' '));
            t.erase(t.find_last_not_of(' ') + 1);
            return t;
        };
        const auto lhs = trim(condition.substr(0, at));
        const auto rhs = trim(condition.substr(at + op.size()));
        const auto v = values_->Lookup(lhs, pc, Bank(), error);
        if (!v) return false;
        int64_t right = 0;
        try {
            right = std::stoll(rhs, nullptr, 0);
        } catch (const std::exception&) {
            error = "not a number: '" + rhs + "'";
            return false;
        }
        const std::string text = values_->Format(*v);
        int64_t left = 0;
        try {
            left = std::stoll(text, nullptr, 0);
        } catch (const std::exception&) {
            left = static_cast<int64_t>(values_->Raw(*v));
        }
        if (op == "==") return left == right;
        if (op == "!=") return left != right;
        if (op == "<=") return left <= right;
        if (op == ">=") return left >= right;
        if (op == "<") return left < right;
        return left > right;
    }
    error = "a condition is NAME OP NUMBER (==, !=, <, <=, >, >=)";
    return false;
}

// ---- running ----

uint64_t Session::NextPowerCut() const { return next_cut_ < cuts_.size() ? cuts_[next_cut_] : ~uint64_t{0}; }

void Session::PowerCutNow() {
    cut_due_ = false;
    ++next_cut_;
    ++power_cuts_;
    observers_.ChipReset(host_->cpu().Cycles(), true);
    host_->PowerCut();
}

void Session::StopFor(const std::string& filter, const std::string& description) {
    if (scouting_ || !exception_filters_.count(filter)) return;
    exception_filter_ = filter;
    hit_description_ = description;
    host_->Stop();
}

void Session::FlashEvents() {
    const auto& ops = tracker_->operations();
    const uint64_t cycle = host_->GetStates();
    for (; operations_seen_ < ops.size(); ++operations_seen_)
        StopFor(std::string(kFlashStartFilter), "flash " + Describe(ops[operations_seen_], cycle) + " started");
    // Operations end in the order they started.
    for (; operations_ended_ < ops.size() && ops[operations_ended_].outcome != OpEnd::kRunning; ++operations_ended_) {
        const auto& op = ops[operations_ended_];
        StopFor(std::string(kFlashEndFilter), "flash " + Describe(op) + " " + OutcomeName(op.outcome));
    }
    if (lint_)
        for (; findings_seen_ < lint_->findings().size(); ++findings_seen_)
            StopFor(std::string(kLintFilter), "lint: " + lint_->findings()[findings_seen_].message);
}

void Session::RegisterWritten(uint64_t, uint32_t id, uint8_t value, bool by_program) {
    if (!by_program && id == flash::Id(flash::Reg::NMISTAT) && (value & flash::kNmiEccError) != 0 &&
        (host_->GetLastMemoryAddress() & PELTO_SPACE_MASK) == PELTO_SPACE_CODE)
        StopFor(std::string(kEccFilter), "ECC error reported on a read of code:" +
                                             Hex(host_->GetLastMemoryAddress() & kAddressMask, 4));
    FlashEvents();
}

void Session::FlushSerial() {
    if (scouting_) return;
    const auto& text = host_->serial_text();
    if (serial_sent_ >= text.size()) return;
    Event("output", {{"category", "stdout"}, {"output", text.substr(serial_sent_)}});
    serial_sent_ = text.size();
}

void Session::Poll() {
    if (scouting_) return;
    // The host polls at every chip event too: the client is looked at once a slice.
    if (host_->cpu().Cycles() < next_poll_) return;
    next_poll_ = host_->cpu().Cycles() + kPollCycles;
    FlushSerial();
    while (transport_.Ready()) {
        auto message = transport_.Read();
        if (!message) {
            disconnected_ = true;
            host_->Stop();
            return;
        }
        const std::string command = message->value("command", "");
        if (command == "pause") {
            Respond(*message, true);
            stop_requested_ = true;
            host_->Stop();
            continue;
        }
        // The client leaving stops a run that might never end; the rest waits for the stop.
        if (command == "disconnect" || command == "terminate") {
            stop_requested_ = true;
            host_->Stop();
        }
        queued_.push_back(std::move(*message));
    }
}

void Session::TakeCheckpoint() {
    if (scouting_) return;
    if (auto command = timeline_.Take(host_->cpu().Cycles())) throw Resumed{std::move(*command)};
}

bool Session::StepStops(Mode mode, uint16_t start_pc, const std::optional<SourceLine>& start_line, uint8_t start_sp) const {
    const auto& cpu = host_->cpu();
    const uint16_t pc = cpu.Pc();
    if (!program_->IsLineStart(pc)) return false;
    // A function's entry line is its prologue: the step goes on to the body.
    if (const auto* f = program_->FunctionAt(pc); f && pc == *f->start && program_->BodyStart(*f) != pc) return false;
    // The stack grows upwards: a deeper frame has a higher SP.
    const uint8_t sp = cpu.Sp();
    switch (mode) {
    case Mode::kStepOut: return sp < start_sp;
    case Mode::kNext:
        if (sp > start_sp) return false;
        break;
    default: break;
    }
    const auto line = program_->LineAt(pc);
    const bool same_line = line && start_line && line->file == start_line->file && line->line == start_line->line;
    return !same_line || pc == start_pc || sp != start_sp;
}

std::optional<std::string> Session::RunUntilStop(Mode mode) {
    auto& cpu = host_->cpu();
    const uint16_t start_pc = cpu.Pc();
    const auto start_line = program_->LineAt(start_pc);
    const uint8_t start_sp = cpu.Sp();
    const uint64_t start_cycle = cpu.Cycles();
    const bool stepping = mode == Mode::kStepIn || mode == Mode::kNext || mode == Mode::kStepOut;
    ArmLineStarts(stepping || (mode == Mode::kScout && scout_lines_));
    if (mode == Mode::kGoal && goal_pc_) cpu.SetBreakpoint(*goal_pc_, true);
    stop_requested_ = false;
    data_hit_ = false;
    hit_description_.clear();
    exception_filter_.clear();
    const uint64_t max_cycles = options_->max_cycles == 0 ? ~uint64_t{0} : options_->max_cycles;
    std::optional<std::string> reason;
    while (!reason) {
        if (cut_due_) PowerCutNow();
        const uint64_t now = cpu.Cycles();
        if (mode == Mode::kGoal && now == goal_cycle_ && (!goal_pc_ || cpu.Pc() == *goal_pc_)) {
            reason = goal_reason_;
            break;
        }
        uint64_t limit = std::min(max_cycles, NextPowerCut());
        if (mode == Mode::kInstruction) limit = std::min(limit, now + 1);
        if (mode == Mode::kGoal) limit = std::min(limit, goal_cycle_ + 1);
        if (mode == Mode::kScout) limit = std::min(limit, goal_cycle_);
        const uint64_t due = timeline_.NextDue(now);
        if (timeline_.enabled() && !scouting_) limit = std::min(limit, due);
        end_ = host_->Run(limit, [this] { Poll(); }, kPollCycles);
        const uint64_t cycles = cpu.Cycles();
        const uint16_t pc = cpu.Pc();
        switch (end_) {
        case RunEnd::kBreakpoint:
            if (mode == Mode::kGoal) {
                if (cycles == goal_cycle_ && goal_pc_ && pc == *goal_pc_) reason = goal_reason_;
            } else if (mode == Mode::kScout) {
                ScoutSees(false);
            } else if (BreakpointStops(pc)) {
                reason = "breakpoint";
            } else if (stepping && StepStops(mode, start_pc, start_line, start_sp)) {
                reason = "step";
            }
            break;
        case RunEnd::kStopped:
            if (disconnected_) return std::nullopt;
            if (mode == Mode::kScout) {
                if (data_hit_) ScoutSees(true);
                data_hit_ = false;
            } else if (mode == Mode::kGoal) {
                data_hit_ = false;
                exception_filter_.clear();
            } else if (data_hit_) {
                reason = "data breakpoint";
            } else if (!exception_filter_.empty()) {
                reason = "exception";
            } else {
                reason = "pause";
            }
            break;
        case RunEnd::kCycleLimit:
            if (cycles >= max_cycles) {
                ended_ = true;
                return std::nullopt;
            }
            if (cycles >= NextPowerCut()) {
                const bool at_goal = mode == Mode::kGoal && cycles == goal_cycle_ && (!goal_pc_ || pc == *goal_pc_);
                if (at_goal || (mode != Mode::kGoal && mode != Mode::kScout && exception_filters_.count(std::string(kPowerCutFilter)))) {
                    cut_due_ = true;
                    hit_description_ = "power cut at cycle " + std::to_string(cycles);
                    if (const auto* op = tracker_->Running()) hit_description_ += ", during the " + Describe(*op, cycles);
                    reason = at_goal ? goal_reason_ : "exception";
                    break;
                }
                PowerCutNow();
            }
            if (mode == Mode::kScout && cycles >= goal_cycle_) return std::nullopt;
            if (mode == Mode::kGoal && cycles > goal_cycle_) reason = goal_reason_;  // passed it: as near as it gets
            else if (mode == Mode::kInstruction && cycles > start_cycle) reason = "step";
            else if (cycles >= due) TakeCheckpoint();
            break;
        case RunEnd::kHalted:
        case RunEnd::kPowerDown:
        case RunEnd::kInterrupted:
            ended_ = true;
            return std::nullopt;
        }
    }
    ArmLineStarts(false);
    return reason;
}

void Session::Resume(Mode mode) {
    const auto reason = RunUntilStop(mode);
    if (disconnected_) return;
    if (reason) return SendStopped(*reason, hit_description_);
    SendEnded();
}

void Session::SendStopped(const std::string& reason, const std::string& description) {
    FlushSerial();
    handles_.clear();
    json body{{"reason", reason}, {"threadId", kThreadId}, {"allThreadsStopped", true}};
    if (!description.empty()) body["description"] = description;
    if (reason == "exception") body["text"] = description;
    Event("stopped", body);
    TakeCheckpoint();
}

int Session::ExitStatus() const {
    if (end_ == RunEnd::kCycleLimit) return kExitNoHalt;
    if (!CheckExpectations(*host_, *options_).empty()) return kExitUnmet;
    return kExitOk;
}

void Session::SendEnded() {
    host_->chip().Sync();
    FlushSerial();
    if (end_ == RunEnd::kCycleLimit)
        Event("output", {{"category", "stderr"},
                         {"output", "the program did not halt within " + std::to_string(options_->max_cycles) + " cycles\n"}});
    for (const auto& u : CheckExpectations(*host_, *options_))
        Event("output", {{"category", "stderr"}, {"output", "expectation not met: expected " + u.expected + ", found " + u.found + "\n"}});
    Event("exited", {{"exitCode", ExitStatus()}});
    Event("terminated");
}

// ---- going back ----

void Session::ScoutSees(bool data) {
    const auto& cpu = host_->cpu();
    const uint64_t cycles = cpu.Cycles();
    if (cycles >= goal_cycle_) return;
    const uint16_t pc = cpu.Pc();
    bool counts = false;
    if (scout_lines_) {
        counts = program_->IsLineStart(pc) && cpu.Sp() <= scout_sp_;
    } else {
        counts = data;
        for (const auto* table : {&line_breakpoints_, &function_breakpoints_, &instruction_breakpoints_})
            if (table->count(pc)) counts = true;
    }
    if (counts) scout_found_ = json{cycles, pc};
}

// The instruction boundary just before the goal: the run goes most of the way in one go, then
// an instruction at a time.
void Session::ScoutInstruction() {
    auto& cpu = host_->cpu();
    const uint64_t goal = goal_cycle_;
    if (cpu.Cycles() + kInstructionWindow < goal) {
        goal_cycle_ = goal - kInstructionWindow;
        RunUntilStop(Mode::kScout);
        goal_cycle_ = goal;
    }
    while (cpu.Cycles() < goal && !ended_) {
        scout_found_ = json{cpu.Cycles(), cpu.Pc()};
        if (!RunUntilStop(Mode::kInstruction)) break;
    }
}

json Session::SaveState() const {
    auto breakpoints = [](const std::map<uint16_t, Breakpoint>& table) {
        json list = json::array();
        for (const auto& [a, b] : table) list.push_back({a, b.id, b.condition, b.hit_condition, b.hits});
        return list;
    };
    json data = json::array();
    for (const auto& d : data_breakpoints_) data.push_back({static_cast<int>(d.space), d.address, d.size, d.access});
    json sources = json::object();
    for (const auto& [path, lines] : lines_by_source_) sources[path] = lines;
    json queued = json::array();
    for (const auto& q : queued_) queued.push_back(q);
    return {{"line", breakpoints(line_breakpoints_)}, {"function", breakpoints(function_breakpoints_)},
            {"instruction", breakpoints(instruction_breakpoints_)}, {"sources", sources}, {"data", data},
            {"filters", exception_filters_}, {"next_id", next_breakpoint_id_}, {"seq", seq_}, {"queued", queued},
            {"input", transport_.Buffered()}};
}

void Session::RestoreState(const json& state) {
    auto breakpoints = [](const json& list, std::map<uint16_t, Breakpoint>& table) {
        table.clear();
        for (const auto& b : list) table[b[0].get<uint16_t>()] = {b[1].get<int>(), b[2], b[3], b[4].get<uint64_t>()};
    };
    breakpoints(state["line"], line_breakpoints_);
    breakpoints(state["function"], function_breakpoints_);
    breakpoints(state["instruction"], instruction_breakpoints_);
    lines_by_source_.clear();
    for (const auto& [path, lines] : state["sources"].items()) lines_by_source_[path] = lines.get<std::set<uint16_t>>();
    json data_request = {{"breakpoints", json::array()}};
    auto& cpu = host_->cpu();
    for (const auto& d : data_breakpoints_)
        cpu.WatchData(d.space == MemSpace::kXdata ? sim8051::DataSpace::kXdata : sim8051::DataSpace::kIdata, d.address,
                      static_cast<uint16_t>(d.address + d.size - 1), d.access, false);
    data_breakpoints_.clear();
    for (const auto& d : state["data"]) {
        data_breakpoints_.push_back({static_cast<MemSpace>(d[0].get<int>()), d[1].get<uint16_t>(), d[2].get<uint16_t>(), d[3].get<uint8_t>()});
        const auto& n = data_breakpoints_.back();
        host_->ObserveData(n.space == MemSpace::kXdata ? sim8051::DataSpace::kXdata : sim8051::DataSpace::kIdata, n.address,
                           static_cast<uint16_t>(n.address + n.size - 1), n.access);
    }
    exception_filters_ = state["filters"].get<std::set<std::string>>();
    next_breakpoint_id_ = state["next_id"];
    seq_ = state["seq"];
    queued_.clear();
    for (const auto& q : state["queued"]) queued_.push_back(q);
    transport_.SetBuffered(state["input"].get<std::string>());
    RearmBreakpoints();
}

void Session::GoBack(const json& request, Mode mode) {
    auto& cpu = host_->cpu();
    const uint64_t now = cpu.Cycles();
    json command{{"lines", mode == Mode::kNext}, {"instruction", mode == Mode::kInstruction}, {"limit", now}, {"sp", cpu.Sp()}, {"state", SaveState()},
                 {"request", request}};
    const auto candidates = timeline_.Before(now, true);
    for (const auto index : candidates) {
        const auto answer = timeline_.Scout(index, command);
        if (!answer) break;
        // Nothing there: the next scout searches up to where this one started.
        command["limit"] = timeline_.CycleOf(index);
        if (answer->contains("found") && !(*answer)["found"].is_null()) {
            command["target"] = (*answer)["found"];
            command["reason"] = mode == Mode::kContinue ? "breakpoint" : "step";
            timeline_.ResumeFrom(index, command);
        }
    }
    if (candidates.empty()) return Respond(request, false, {}, "no checkpoint to go back to");
    // Nothing before: back to the start of the recording.
    command["target"] = nullptr;
    command["reason"] = "entry";
    timeline_.ResumeFrom(candidates.back(), command);
}

// A copy of a checkpoint, made for `command`: a scout finds the cycle to go back to; a resumed
// copy runs forward to it and carries on the session from there.
void Session::Continue(const json& command) {
    RestoreState(command["state"]);
    auto& cpu = host_->cpu();
    goal_cycle_ = command["limit"];
    if (command["op"] == "scout") {
        scouting_ = true;
        scout_lines_ = command["lines"];
        scout_sp_ = command["sp"];
        scout_found_ = nullptr;
        if (command.value("instruction", false)) {
            ScoutInstruction();
        } else {
            ScoutSees(false);
            RunUntilStop(Mode::kScout);
        }
        timeline_.Reply({{"found", scout_found_}});
    }
    goal_reason_ = command["reason"];
    if (command["target"].is_null()) {
        goal_cycle_ = cpu.Cycles();
        goal_pc_.reset();
    } else {
        goal_cycle_ = command["target"][0];
        goal_pc_ = command["target"][1].get<uint16_t>();
    }
    const auto reason = RunUntilStop(Mode::kGoal);
    serial_sent_ = host_->serial_text().size();
    Respond(command["request"], true);
    ended_ = false;
    SendStopped(reason.value_or(goal_reason_));
}

// ---- state ----

uint8_t Session::Read(MemSpace space, uint16_t address) const {
    const auto& cpu = host_->cpu();
    switch (space) {
    case MemSpace::kCode: return cpu.Code()[address];
    case MemSpace::kXdata: return cpu.Xram()[address];
    case MemSpace::kIdata: return cpu.Iram()[address & kIdataMask];
    case MemSpace::kSfr: break;
    }
    return host_->sfrs().ProgramRead(static_cast<uint8_t>(address));
}

void Session::Write(MemSpace space, uint16_t address, uint8_t value) {
    auto& cpu = host_->cpu();
    switch (space) {
    case MemSpace::kCode: cpu.Code()[address] = value; return;
    case MemSpace::kXdata: cpu.Xram()[address] = value; return;
    case MemSpace::kIdata: cpu.Iram()[address & kIdataMask] = value; return;
    case MemSpace::kSfr: cpu.SetSfr(static_cast<uint8_t>(address), value); return;
    }
}

unsigned Session::Bank() const { return (host_->cpu().Psw() & sim8051::psw::kBankMask) >> sim8051::psw::kRs0Bit; }

// Frames from the 8051 stack: a return address is two stacked bytes just after a call of the
// frame's function (or anywhere in a function, for an interrupt handler, which no call enters).
std::vector<Session::Frame> Session::Frames() const {
    const auto& cpu = host_->cpu();
    const auto code = cpu.Code();
    const auto iram = cpu.Iram();
    std::vector<Frame> frames{{cpu.Pc(), program_->FunctionAt(cpu.Pc())}};
    int a = cpu.Sp() - 1;
    while (a >= kFirstStackByte) {
        // Code without debug information (the library, ROM routines) is left by any call.
        const Function* callee = frames.back().function;
        const auto ret = static_cast<uint16_t>(iram[a] | iram[a + 1] << kByteBits);
        const Function* caller = program_->FunctionAt(ret);
        bool found = false;
        if (caller) {
            const uint16_t lcall = static_cast<uint16_t>(ret - kCallLength);
            const uint16_t acall = static_cast<uint16_t>(ret - kAcallLength);
            const auto lcall_target = static_cast<uint16_t>(code[static_cast<uint16_t>(lcall + 1)] << kByteBits |
                                                            code[static_cast<uint16_t>(lcall + 2)]);
            const auto acall_target = static_cast<uint16_t>((ret & kAcallBlockMask) |
                                                            (code[acall] & ~kAcallMask & kByteMask) << kAcallPageShift |
                                                            code[static_cast<uint16_t>(acall + 1)]);
            if (code[lcall] == sim8051::kLcall && (!callee || lcall_target == *callee->start)) {
                frames.push_back({lcall, caller});
                found = true;
            } else if ((code[acall] & kAcallMask) == sim8051::kAcall && (!callee || acall_target == *callee->start)) {
                frames.push_back({acall, caller});
                found = true;
            } else if (callee && callee->interrupt) {
                frames.push_back({ret, caller});
                found = true;
            }
        }
        a -= found ? 2 : 1;
    }
    return frames;
}

json Session::StackTrace(const json&) {
    json frames = json::array();
    const auto list = Frames();
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& f = list[i];
        json frame{{"id", static_cast<int>(i)}, {"name", FunctionName(f.function)}, {"line", 0}, {"column", 0},
                   {"instructionPointerReference", "code:" + Hex(f.pc, 4)}};
        if (const auto line = program_->LineAt(f.pc)) {
            frame["line"] = line->line;
            frame["column"] = 1;
            frame["source"] = {{"name", line->file}, {"path", SourcePath(line->file)}};
        }
        frames.push_back(frame);
    }
    return {{"stackFrames", frames}, {"totalFrames", frames.size()}};
}

std::string Session::SourcePath(const std::string& file) const {
    for (const auto& dir : source_dirs_) {
        const auto path = std::filesystem::path(dir) / file;
        if (std::filesystem::exists(path)) return path.string();
    }
    return file;
}

int Session::AddHandle(Handle handle) {
    handles_.push_back(std::move(handle));
    return static_cast<int>(handles_.size());
}

json Session::Scopes(const json& args) {
    const auto frame = args.value("frameId", 0u);
    json scopes = json::array();
    const std::pair<const char*, ScopeRef::Kind> kinds[] = {{"Locals", ScopeRef::Kind::kLocals},
                                                            {"Globals", ScopeRef::Kind::kGlobals},
                                                            {"Registers", ScopeRef::Kind::kRegisters},
                                                            {"SFRs", ScopeRef::Kind::kSfrs},
                                                            {"Flash", ScopeRef::Kind::kFlash}};
    for (const auto& [name, kind] : kinds)
        scopes.push_back({{"name", name}, {"variablesReference", AddHandle(ScopeRef{kind, frame})}, {"expensive", false}});
    return {{"scopes", scopes}};
}

json Session::Variable(const std::string& name, const ValueRef& v) {
    json variable{{"name", name}, {"value", values_->Format(v)}, {"type", values_->TypeName(v)}, {"variablesReference", 0}};
    if (!values_->Children(v).empty()) variable["variablesReference"] = AddHandle(v);
    if (!v.bytes.empty() && v.bytes.front().space != MemSpace::kSfr)
        variable["memoryReference"] = std::string(SpaceText(v.bytes.front().space)) + ":" + Hex(v.bytes.front().address, 4);
    return variable;
}

namespace {

json Plain(const std::string& name, uint32_t value, int digits) {
    return {{"name", name}, {"value", Hex(value, digits)}, {"variablesReference", 0}};
}

}  // namespace

json Session::Variables(const json& args) {
    const int ref = args.value("variablesReference", 0);
    if (ref <= 0 || static_cast<std::size_t>(ref) > handles_.size()) throw std::runtime_error("no such variables reference");
    json list = json::array();
    const Handle handle = handles_[ref - 1];
    if (const auto* v = std::get_if<ValueRef>(&handle)) {
        for (const auto& c : values_->Children(*v)) list.push_back(Variable(c.name, c.value));
        return {{"variables", list}};
    }
    const auto& scope = std::get<ScopeRef>(handle);
    auto& cpu = host_->cpu();
    host_->chip().Sync();
    switch (scope.kind) {
    case ScopeRef::Kind::kLocals: {
        const auto frames = Frames();
        if (scope.frame >= frames.size() || !frames[scope.frame].function) break;
        const Function& f = *frames[scope.frame].function;
        for (const auto* s : program_->Locals(f)) {
            // Register locals are known in the innermost frame only: callees reuse the registers.
            if (s->space == CdbSpace::kRegister && scope.frame != 0) continue;
            if (const auto v = values_->Locate(*s, static_cast<unsigned>(f.register_bank))) list.push_back(Variable(s->name, *v));
        }
        break;
    }
    case ScopeRef::Kind::kGlobals:
        for (const auto* s : program_->Globals())
            if (const auto v = values_->Locate(*s, 0)) list.push_back(Variable(s->name, *v));
        break;
    case ScopeRef::Kind::kRegisters:
        list.push_back(Plain("A", cpu.Acc(), 2));
        list.push_back(Plain("B", cpu.B(), 2));
        list.push_back(Plain("PSW", cpu.Psw(), 2));
        list.push_back(Plain("DPTR", cpu.Dptr(), 4));
        list.push_back(Plain("SP", cpu.Sp(), 2));
        for (unsigned r = 0; r < kRegisterCount; ++r) list.push_back(Plain(std::string("R") + std::to_string(r), cpu.Reg(r), 2));
        list.push_back(Plain("PC", cpu.Pc(), 4));
        list.push_back({{"name", "cycles"}, {"value", std::to_string(cpu.Cycles())}, {"variablesReference", 0}});
        break;
    case ScopeRef::Kind::kSfrs:
        for (const auto& r : sim8051::sfr::kNamed) list.push_back(Plain(r.name, cpu.Sfr(r.address), 2));
        for (const auto& r : chip::kChipRegisters) list.push_back(Plain(r.name, cpu.Sfr(r.address), 2));
        break;
    case ScopeRef::Kind::kFlash:
        for (const auto& r : flash::kRegisters)
            if (const auto v = host_->sfrs().Read(r.id)) list.push_back(Plain(std::string(r.name), v->current, 2));
        if (const auto* op = tracker_->Running())
            list.push_back({{"name", "operation"},
                            {"value", Describe(*op, cpu.Cycles()) + ", " + std::to_string(cpu.Cycles() - op->start) + " cycles in"},
                            {"variablesReference", 0}});
        else
            list.push_back({{"name", "operation"}, {"value", "none"}, {"variablesReference", 0}});
        list.push_back({{"name", "power cuts"}, {"value", std::to_string(power_cuts_)}, {"variablesReference", 0}});
        break;
    }
    return {{"variables", list}};
}

// A register of the Registers, SFRs or Flash scope by name.
bool Session::SetRegister(const std::string& name, uint32_t value) {
    auto& cpu = host_->cpu();
    const auto byte = static_cast<uint8_t>(value);
    if (name == "A") cpu.SetAcc(byte);
    else if (name == "B") cpu.SetB(byte);
    else if (name == "PSW") cpu.SetPsw(byte);
    else if (name == "SP") cpu.SetSp(byte);
    else if (name == "DPTR") cpu.SetDptr(static_cast<uint16_t>(value));
    else if (name == "PC") cpu.SetPc(static_cast<uint16_t>(value));
    else if (name.size() == 2 && name[0] == 'R' && name[1] >= '0' && name[1] < '0' + static_cast<int>(kRegisterCount))
        cpu.SetReg(static_cast<unsigned>(name[1] - '0'), byte);
    else {
        for (const auto& r : sim8051::sfr::kNamed)
            if (name == r.name) return cpu.SetSfr(r.address, byte), true;
        for (const auto& r : chip::kChipRegisters)
            if (name == r.name) return cpu.SetSfr(r.address, byte), true;
        for (const auto& r : flash::kRegisters)
            if (name == r.name) return host_->sfrs().Write(r.id, byte);
        return false;
    }
    return true;
}

json Session::SetVariable(const json& args) {
    const int ref = args.value("variablesReference", 0);
    if (ref <= 0 || static_cast<std::size_t>(ref) > handles_.size()) throw std::runtime_error("no such variables reference");
    const std::string name = args.value("name", "");
    const std::string value = args.value("value", "");
    std::string error;
    std::optional<ValueRef> v;
    const Handle handle = handles_[ref - 1];
    if (const auto* parent = std::get_if<ValueRef>(&handle)) {
        for (const auto& c : values_->Children(*parent))
            if (c.name == name) v = c.value;
    } else {
        const auto& scope = std::get<ScopeRef>(handle);
        if (scope.kind == ScopeRef::Kind::kLocals || scope.kind == ScopeRef::Kind::kGlobals) {
            const auto frames = Frames();
            const uint16_t pc = scope.frame < frames.size() ? frames[scope.frame].pc : host_->cpu().Pc();
            const auto* f = scope.frame < frames.size() ? frames[scope.frame].function : nullptr;
            v = values_->Lookup(name, pc, f ? static_cast<unsigned>(f->register_bank) : Bank(), error);
        } else {
            const auto number = std::stoul(value, nullptr, 0);
            if (!SetRegister(name, static_cast<uint32_t>(number))) throw std::runtime_error("no register '" + name + "'");
            return {{"value", Hex(static_cast<uint32_t>(number), 2)}};
        }
    }
    if (!v) throw std::runtime_error(error.empty() ? "no variable '" + name + "'" : error);
    if (!values_->Set(*v, value, error)) throw std::runtime_error(error);
    timeline_.DropAfter(host_->cpu().Cycles());
    return {{"value", values_->Format(*v)}, {"type", values_->TypeName(*v)}};
}

std::optional<Place> Session::ParseMemoryReference(const std::string& text) const {
    std::string error;
    if (text.find(':') == std::string::npos) {
        // A bare number is a code address, as instruction references are.
        return ResolvePlace(program_.get(), "code:" + text, error);
    }
    return ResolvePlace(program_.get(), text, error);
}

json Session::Evaluate(const json& args) {
    const std::string expression = args.value("expression", "");
    const auto frame = args.value("frameId", 0u);
    const auto frames = Frames();
    const uint16_t pc = frame < frames.size() ? frames[frame].pc : host_->cpu().Pc();
    const auto* f = frame < frames.size() ? frames[frame].function : nullptr;
    std::string error;
    // SPACE:WHERE[:LENGTH]: bytes of memory.
    for (const auto& s : kSpaces) {
        if (!expression.starts_with(std::string(s.name) + ":")) continue;
        std::string where = expression;
        std::size_t length = 1;
        const auto second = expression.find(':', s.name.size() + 1);
        if (second != std::string::npos) {
            length = std::stoul(expression.substr(second + 1), nullptr, 0);
            where = expression.substr(0, second);
        }
        const auto place = ResolvePlace(program_.get(), where, error);
        if (!place) throw std::runtime_error(error);
        std::string bytes;
        for (std::size_t i = 0; i < length && place->address + i < s.size; ++i)
            bytes += (i ? " " : "") + Hex(Read(s.space, static_cast<uint16_t>(place->address + i)), 2).substr(2);
        return {{"result", bytes}, {"variablesReference", 0},
                {"memoryReference", std::string(s.name) + ":" + Hex(place->address, 4)}};
    }
    for (const auto& r : flash::kRegisters)
        if (expression == r.name) return {{"result", Hex(host_->sfrs().Read(r.id)->current, 2)}, {"variablesReference", 0}};
    const auto v = values_->Lookup(expression, pc, f ? static_cast<unsigned>(f->register_bank) : Bank(), error);
    if (!v) throw std::runtime_error(error);
    const auto variable = Variable(expression, *v);
    json result{{"result", variable["value"]}, {"type", variable["type"]}, {"variablesReference", variable["variablesReference"]}};
    if (variable.contains("memoryReference")) result["memoryReference"] = variable["memoryReference"];
    return result;
}

json Session::ReadMemory(const json& args) {
    const auto place = ParseMemoryReference(args.value("memoryReference", ""));
    if (!place) throw std::runtime_error("not a memory reference (code:, xdata: or idata: and an address or symbol)");
    const int64_t start = static_cast<int64_t>(place->address) + args.value("offset", 0);
    const auto count = args.value("count", 0u);
    const int64_t size = SpaceSize(place->space);
    std::string bytes;
    for (int64_t a = std::max<int64_t>(start, 0); a < start + count && a < size; ++a)
        bytes.push_back(static_cast<char>(Read(place->space, static_cast<uint16_t>(a))));
    json body{{"address", std::string(SpaceText(place->space)) + ":" + Hex(static_cast<uint32_t>(std::max<int64_t>(start, 0)), 4)},
              {"data", Base64Encode(bytes)}};
    if (static_cast<int64_t>(bytes.size()) < count) body["unreadableBytes"] = count - bytes.size();
    return body;
}

json Session::WriteMemory(const json& args) {
    const auto place = ParseMemoryReference(args.value("memoryReference", ""));
    if (!place) throw std::runtime_error("not a memory reference (code:, xdata: or idata: and an address or symbol)");
    const auto data = Base64Decode(args.value("data", ""));
    if (!data) throw std::runtime_error("data is not base64");
    const int64_t start = static_cast<int64_t>(place->address) + args.value("offset", 0);
    if (start < 0 || start + static_cast<int64_t>(data->size()) > SpaceSize(place->space))
        throw std::runtime_error("the bytes do not fit in " + std::string(SpaceText(place->space)));
    for (std::size_t i = 0; i < data->size(); ++i)
        Write(place->space, static_cast<uint16_t>(start + static_cast<int64_t>(i)), static_cast<uint8_t>((*data)[i]));
    timeline_.DropAfter(host_->cpu().Cycles());
    return {{"bytesWritten", data->size()}};
}

json Session::Disassemble(const json& args) {
    const auto place = ParseMemoryReference(args.value("memoryReference", ""));
    if (!place || place->space != MemSpace::kCode) throw std::runtime_error("not a code address");
    const int64_t origin = static_cast<int64_t>(place->address) + args.value("offset", 0);
    const int64_t first = args.value("instructionOffset", 0);
    const int64_t count = args.value("instructionCount", 0);
    const auto read = [this](uint16_t a) { return host_->cpu().Code()[a]; };
    const int64_t code_size = SpaceSize(MemSpace::kCode);
    // Instructions before the origin: decoded forwards from a function's start or a little way
    // back; the ones that end exactly at the origin are taken.
    std::vector<Instruction> before;
    if (first < 0 && origin > 0) {
        int64_t start = std::max<int64_t>(0, origin + first * kBytesBackPerInstruction);
        if (const auto* f = program_->FunctionAt(static_cast<uint16_t>(origin)); f && *f->start >= start) start = *f->start;
        for (int64_t a = start; a < origin;) {
            before.push_back(debug::Disassemble(static_cast<uint16_t>(a), read));
            a += before.back().length;
        }
    }
    json instructions = json::array();
    std::optional<SourceLine> last_line;
    auto add = [&](std::optional<Instruction> i, int64_t address) {
        if (!i || address < 0 || address >= code_size) {
            instructions.push_back({{"address", Hex(static_cast<uint32_t>(std::clamp<int64_t>(address, 0, code_size - 1)), 4)},
                                    {"instruction", "??"}, {"presentationHint", "invalid"}});
            return;
        }
        json entry{{"address", Hex(i->address, 4)}, {"instructionBytes", i->bytes}, {"instruction", i->text}};
        if (const auto* f = program_->FunctionAt(i->address); f && *f->start == i->address) entry["symbol"] = f->name;
        const auto line = program_->LineAt(i->address);
        if (line && (!last_line || line->line != last_line->line || line->file != last_line->file)) {
            entry["location"] = {{"name", line->file}, {"path", SourcePath(line->file)}};
            entry["line"] = line->line;
        }
        last_line = line;
        instructions.push_back(entry);
    };
    for (int64_t n = first; n < 0 && n < first + count; ++n) {
        const int64_t index = static_cast<int64_t>(before.size()) + n;
        add(index >= 0 ? std::optional<Instruction>(before[static_cast<std::size_t>(index)]) : std::nullopt, origin + n);
    }
    int64_t address = origin;
    for (int64_t n = std::max<int64_t>(first, 0); n > 0 && address < code_size; --n)
        address += debug::Disassemble(static_cast<uint16_t>(address), read).length;
    for (int64_t n = std::max<int64_t>(first, 0); n < first + count; ++n) {
        if (address >= code_size) {
            add(std::nullopt, address);
            continue;
        }
        const auto i = debug::Disassemble(static_cast<uint16_t>(address), read);
        add(i, address);
        address += i.length;
    }
    return {{"instructions", instructions}};
}

}  // namespace peltosim::debug
