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

std::optional<LintSelection> ParseLintList(std::string_view list, std::string& error) {
    LintSelection selection;
    std::size_t start = 0;
    for (;;) {
        const auto comma = list.find(',', start);
        const std::string_view item = list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        const auto id = item.size() > 1 && item[0] == '-' ? FindLintCheck(item.substr(1)) : std::nullopt;
        if (item == "error") {
            selection.error = true;
        } else if (id) {
            selection.off.push_back(*id);
        } else {
            error.assign(1, '\'').append(item).append("' is neither 'error' nor -NAME with NAME one of ").append(LintCheckNames());
            return std::nullopt;
        }
        if (comma == std::string_view::npos) return selection;
        start = comma + 1;
    }
}

}  // namespace peltosim
