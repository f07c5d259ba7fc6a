#include "run/expand_command_line.h"

#include <cstring>

#include "plugin/plugin_state.h"

namespace {

// The longest value is an exchange-file path of 259 characters replacing the
// two placeholder characters of a full CommandBuffer: 260 - 2 + 259.
constexpr size_t kLongestReplacement = kCommandChars - 2 + platform::kMaxPath;
// Room for the whole result of one replacement before the limit is applied.
char g_Replacement[kLongestReplacement + 1];

// A host text read from its 64-byte field: the host terminates it inside the
// field, and a text it failed to terminate is still never read beyond it.
void CopyHostText(const char *field, char *text) {
    const size_t length = strnlen(field, kHostTextChars);
    memcpy(text, field, length);
    text[length] = '\0';
}

} // namespace

bool ReplacePlaceholder(const char *placeholder, const char *value) {
    char *const command = g_State.CommandBuffer;
    const char *const found = strstr(command, placeholder);
    if (!found) return true;

    const size_t before = static_cast<size_t>(found - command);
    const size_t placeholderLength = strlen(placeholder);
    const char *const after = found + placeholderLength;
    const size_t afterLength = strlen(after);
    // A value longer than a path cannot come from the host or the platform;
    // refusing it keeps the separate buffer's bound true for every caller.
    const size_t valueLength = strnlen(value, platform::kMaxPath + 1);
    if (valueLength > static_cast<size_t>(platform::kMaxPath)) return false;

    const size_t total = before + valueLength + afterLength;
    if (total > kLongestReplacement) return false;
    memcpy(g_Replacement, command, before);
    memcpy(g_Replacement + before, value, valueLength);
    memcpy(g_Replacement + before + valueLength, after, afterLength);
    g_Replacement[total] = '\0';

    if (total > static_cast<size_t>(kCommandChars)) return false;
    memcpy(command, g_Replacement, total + 1);
    return true;
}

bool ExpandCommandLine(const char *tempFilePath, const HostRecord *hostRecord) {
    // The setting holds at most 259 characters; strnlen guards a record that
    // was filled by other means.
    const char *const setting = g_State.Settings.CommandLine;
    const size_t length = strnlen(setting, kPathChars);
    memcpy(g_State.CommandBuffer, setting, length);
    g_State.CommandBuffer[length] = '\0';

    char textU[kHostTextChars + 1], textP[kHostTextChars + 1], textD[kHostTextChars + 1];
    char textO[kHostTextChars + 1], textN[kHostTextChars + 1];
    CopyHostText(hostRecord->TextU, textU);
    CopyHostText(hostRecord->TextP, textP);
    CopyHostText(hostRecord->TextD, textD);
    CopyHostText(hostRecord->TextO, textO);
    CopyHostText(hostRecord->TextN, textN);

    // The fixed order of replacement: the path first, then the host's texts.
    const char *const placeholders[6] = {"%f", "%u", "%p", "%d", "%o", "%N"};
    const char *const values[6] = {tempFilePath, textU, textP, textD, textO, textN};
    for (int i = 0; i < 6; ++i) {
        if (!ReplacePlaceholder(placeholders[i], values[i])) {
            g_State.CommandBuffer[0] = '\0';
            return false;
        }
    }
    return true;
}
