// Fuzz target for the command-line expansion: any template of up to 259
// characters, any exchange-file path of up to 259 and host texts of up to 63
// never write past a buffer, and the result equals a plain std::string
// expansion whenever that fits into the 260 characters of CommandBuffer;
// otherwise the expansion is refused and the command line is empty.
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
    Check(fits == reference.fits);
    Check(strlen(g_State.CommandBuffer) <= 260);
    if (reference.fits)
        Check(reference.command == g_State.CommandBuffer);
    else
        Check(g_State.CommandBuffer[0] == '\0');
    return 0;
}
