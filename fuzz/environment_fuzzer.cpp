// Fuzzes the [Environment] lines as a run applies them to the program's copy
// of the environment (the POSIX copy): for any lines, the run is refused
// exactly when a plain std::string model says a limit is passed, and
// otherwise the copy holds exactly the model's variables with the model's
// values, "%NAME%" references expanded as a line at a time sees them.
//
// Input: lines separated by "\n", as the profile service hands them on.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/run_posix_internal.h"
#include "plugin/plugin_state.h"
#include "run/run_options.h"

extern char **environ;

namespace {

void Check(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "environment fuzzer: %s\n", what);
        __builtin_trap();
    }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A'; }

std::string Expanded(const std::string &value, const std::map<std::string, std::string> &variables) {
    std::string out;
    size_t at = 0;
    while (at < value.size()) {
        const size_t open = value.find('%', at);
        const size_t close = open == std::string::npos ? open : value.find('%', open + 1);
        if (close == std::string::npos) return out + value.substr(at);
        out += value.substr(at, open - at);
        const auto found = variables.find(value.substr(open + 1, close - open - 1));
        if (close > open + 1 && found != variables.end()) {
            out += found->second;
            at = close + 1;
        } else {
            out += value.substr(open, close - open);
            at = close;
        }
    }
    return out;
}

// What the lines should make of the host's environment; false when a limit
// refuses the run.
bool Model(const std::vector<std::string> &lines, std::map<std::string, std::string> *variables) {
    for (char **entry = environ; *entry; ++entry) {
        const char *const equals = strchr(*entry, '=');
        if (equals) variables->emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), equals + 1);
    }
    int applied = 0;
    for (const std::string &line : lines) {
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        size_t end = equals;
        while (end > 0 && IsBlank(line[end - 1])) --end;
        if (end == 0) continue;
        if (++applied > kEnvironmentLines) return false;
        size_t value = equals + 1;
        while (value < line.size() && IsBlank(line[value])) ++value;
        const std::string expanded = Expanded(line.substr(value), *variables);
        if (expanded.size() > platform::kEnvironmentValueChars) return false;
        if (expanded.empty())
            variables->erase(line.substr(0, end));
        else
            (*variables)[line.substr(0, end)] = expanded;
    }
    return true;
}

HostRecord g_Host;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    // The lines as the settings hold them: each zero-terminated, an empty
    // one last, blanks at their ends dropped; only whole lines that fit.
    std::vector<std::string> lines;
    std::string text(reinterpret_cast<const char *>(bytes), size);
    size_t used = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        line = line.substr(0, line.find('\0'));
        while (!line.empty() && IsBlank(line.back())) line.pop_back();
        while (!line.empty() && IsBlank(line.front())) line.erase(0, 1);
        start = end + 1;
        if (line.empty()) continue;
        if (used + line.size() + 2 > kEnvironmentSectionBytes) break;
        memcpy(g_State.Settings.Environment + used, line.c_str(), line.size() + 1);
        used += line.size() + 1;
        lines.push_back(line);
    }
    g_State.Settings.Environment[used] = '\0';
    g_State.Settings.StartDirectory[0] = '\0';
    g_State.Host = &g_Host;

    std::map<std::string, std::string> expected;
    const bool allowed = Model(lines, &expected);
    size_t blockBytes = 0;
    for (const auto &[name, value] : expected) blockBytes += name.size() + value.size() + 2;
    // A block near its bound may be refused as full, which the model leaves
    // to the platform's own test.
    if (blockBytes > platform::kEnvironmentBlockChars / 2) return 0;

    fflush(stderr);
    RunOptions options{};
    const bool prepared = PrepareStartOptions(g_State.Settings, &options);
    Check(prepared == allowed, "a run refused or allowed against the limits");
    if (!prepared || !options.OwnEnvironment) return 0;
    size_t count = 0;
    for (char *const *entry = platform::internal::CopiedEnvironment(); *entry; ++entry) ++count;
    Check(count == expected.size(), "the copy holds other variables than the model");
    for (const auto &[name, value] : expected) {
        const char *const copied = platform::internal::CopiedValueOf(name.c_str());
        Check(copied && value == copied, "a variable's value differs from the model's");
    }
    return 0;
}
