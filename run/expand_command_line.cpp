#include "run/expand_command_line.h"

#include <cstring>

#include "plugin/plugin_state.h"

namespace {

// The line is built in a buffer of its own that holds every intermediate
// result: a 259-character template whose "%f" becomes a 259-character path
// and whose five host placeholders each become 63 characters. Only the
// finished line has to fit into CommandBuffer, so an empty host text that
// shortens the line again after a long path is judged on the final length.
constexpr size_t kLongestExpansion =
    kPathChars - 2 + platform::kMaxPath + 5 * (static_cast<size_t>(kHostTextChars) - 2);
char g_Expansion[kLongestExpansion + 1];
// The separate buffer in which one replacement is put together.
char g_Replacement[kLongestExpansion + 1];

// A host text read from its 64-byte field: the host terminates it inside the
// field, and a text it failed to terminate is still never read beyond it.
void CopyHostText(const char *field, char *text) {
    const size_t length = strnlen(field, kHostTextChars);
    memcpy(text, field, length);
    text[length] = '\0';
}

} // namespace

bool ReplacePlaceholder(char *text, size_t capacity, const char *placeholder, const char *value) {
    char *const found = strstr(text, placeholder);
    if (!found) return true;

    const size_t before = static_cast<size_t>(found - text);
    const char *const after = found + strlen(placeholder);
    const size_t afterLength = strlen(after);
    const size_t valueLength = strlen(value);
    const size_t total = before + valueLength + afterLength;
    if (total > capacity || total > kLongestExpansion) return false;

    memcpy(g_Replacement, text, before);
    memcpy(g_Replacement + before, value, valueLength);
    memcpy(g_Replacement + before + valueLength, after, afterLength);
    g_Replacement[total] = '\0';
    memcpy(text, g_Replacement, total + 1);
    return true;
}

bool ExpandCommandLine(const char *tempFilePath, const HostRecord *hostRecord) {
    g_State.CommandBuffer[0] = '\0';
    // The setting holds at most 259 characters and the platform never makes
    // a longer path; strnlen guards values that came by other means.
    const size_t length = strnlen(g_State.Settings.CommandLine, kPathChars);
    memcpy(g_Expansion, g_State.Settings.CommandLine, length);
    g_Expansion[length] = '\0';
    char path[platform::kMaxPath + 1];
    const size_t pathLength = strnlen(tempFilePath, platform::kMaxPath);
    memcpy(path, tempFilePath, pathLength);
    path[pathLength] = '\0';

    char textU[kHostTextChars + 1], textP[kHostTextChars + 1], textD[kHostTextChars + 1];
    char textO[kHostTextChars + 1], textN[kHostTextChars + 1];
    CopyHostText(hostRecord->TextU, textU);
    CopyHostText(hostRecord->TextP, textP);
    CopyHostText(hostRecord->TextD, textD);
    CopyHostText(hostRecord->TextO, textO);
    CopyHostText(hostRecord->TextN, textN);

    // The fixed order of replacement: the path first, then the host's texts.
    const char *const placeholders[6] = {"%f", "%u", "%p", "%d", "%o", "%N"};
    const char *const values[6] = {path, textU, textP, textD, textO, textN};
    for (int i = 0; i < 6; ++i)
        if (!ReplacePlaceholder(g_Expansion, kLongestExpansion, placeholders[i], values[i])) return false;

    const size_t expanded = strlen(g_Expansion);
    if (expanded > static_cast<size_t>(kCommandChars)) return false;
    memcpy(g_State.CommandBuffer, g_Expansion, expanded + 1);
    return true;
}
