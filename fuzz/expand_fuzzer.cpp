// Fuzz target for the command-line expansion: any template of up to 259
// characters, any exchange-file path of up to 259 and host texts of up to 63
// never write past a buffer, and the result equals a plain std::string
// expansion whenever that fits into the 260 characters of CommandBuffer and
// no host text holds a backslash (which may be doubled); otherwise the
// expansion is refused and the command line is empty.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/plugin_state.h"
#include "run/expand_command_line.h"

namespace {

// A C string as the plug-in sees it: everything up to the first zero byte.
std::string TakeText(FuzzedDataProvider &data, size_t most) {
    std::string text = data.ConsumeRandomLengthString(most);
    return text.substr(0, text.find('\0'));
}

struct Reference {
    std::string command;
    bool fits = true;
};

Reference ReferenceExpansion(const std::string &templateText, const std::string values[6]) {
    static const char *const placeholders[6] = {"%f", "%u", "%p", "%d", "%o", "%N"};
    Reference reference{templateText, true};
    for (int i = 0; i < 6; ++i) {
        const size_t at = reference.command.find(placeholders[i]);
        if (at == std::string::npos) continue;
        reference.command.replace(at, 2, values[i]);
    }
    reference.fits = reference.command.size() <= 260;
    return reference;
}

void Check(bool condition) {
    if (!condition) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    const std::string templateText = TakeText(data, 259);
    const std::string path = TakeText(data, 259);
    HostRecord host;
    memset(&host, 0x5A, sizeof host);
    std::string values[6] = {path};
    char *const fields[5] = {host.TextU, host.TextP, host.TextD, host.TextO, host.TextN};
    for (int i = 0; i < 5; ++i) {
        values[i + 1] = TakeText(data, 63);
        memcpy(fields[i], values[i + 1].c_str(), values[i + 1].size() + 1);
    }

    memcpy(g_State.Settings.CommandLine, templateText.c_str(), templateText.size() + 1);
    // CommandBuffer lies within the state record, where AddressSanitizer
    // cannot see an overrun: the neighbouring field must stay as it was.
    memset(g_State.TempFilePath, 0x77, sizeof g_State.TempFilePath);
    const bool fits = ExpandCommandLine(path.c_str(), &host);
    for (size_t i = 0; i < sizeof g_State.TempFilePath; ++i)
        Check(static_cast<unsigned char>(g_State.TempFilePath[i]) == 0x77);

    const Reference reference = ReferenceExpansion(templateText, values);
    Check(strlen(g_State.CommandBuffer) <= 260);
    if (!fits) Check(g_State.CommandBuffer[0] == '\0');
    // A host text's backslashes before a closing quote are doubled, which
    // only ever lengthens the line.
    bool backslash = false;
    for (int i = 1; i < 6; ++i) backslash = backslash || values[i].find('\\') != std::string::npos;
    if (backslash) {
        if (fits) Check(reference.fits && reference.command.size() <= strlen(g_State.CommandBuffer));
        return 0;
    }
    Check(fits == reference.fits);
    if (reference.fits) Check(reference.command == g_State.CommandBuffer);
    return 0;
}
