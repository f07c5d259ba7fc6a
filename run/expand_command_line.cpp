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

// Where each character of g_Expansion came from: the template, the path or
// one of the host texts. Only the template and the path decide where quotes
// begin and end; a host text is data, whatever it holds.
constexpr uint8_t kFromTemplate = 0;
constexpr uint8_t kFromPath = 1;
constexpr uint8_t kFromHostText = 2; // + the host text's index
// Set on a host text's backslash that is to be doubled.
constexpr uint8_t kDoubled = 0x80;
uint8_t g_Origin[kLongestExpansion + 1];
uint8_t g_ReplacementOrigin[kLongestExpansion + 1];

const char *const kHostPlaceholders[kHostTexts] = {"%u", "%p", "%d", "%o", "%N"};
char g_HostTexts[kHostTexts][kHostTextChars + 1];

// A host text read from its 64-byte field: the host terminates it inside the
// field, and a text it failed to terminate is still never read beyond it.
void CopyHostText(const char *field, char *text) {
    const size_t length = strnlen(field, kHostTextChars);
    memcpy(text, field, length);
    text[length] = '\0';
}

enum class Replaced { Nothing, Done, TooLong };

// ReplacePlaceholder, with `origins` (when given) kept in step with `text`:
// the inserted characters come from `origin`.
Replaced Replace(char *text, uint8_t *origins, size_t capacity, const char *placeholder, const char *value,
                 uint8_t origin) {
    char *const found = strstr(text, placeholder);
    if (!found) return Replaced::Nothing;

    const size_t before = static_cast<size_t>(found - text);
    const size_t skipped = strlen(placeholder);
    const char *const after = found + skipped;
    const size_t afterLength = strlen(after);
    const size_t valueLength = strlen(value);
    const size_t total = before + valueLength + afterLength;
    if (total > capacity || total > kLongestExpansion) return Replaced::TooLong;

    memcpy(g_Replacement, text, before);
    memcpy(g_Replacement + before, value, valueLength);
    memcpy(g_Replacement + before + valueLength, after, afterLength);
    g_Replacement[total] = '\0';
    memcpy(text, g_Replacement, total + 1);
    if (origins) {
        memcpy(g_ReplacementOrigin, origins, before);
        memset(g_ReplacementOrigin + before, origin, valueLength);
        memcpy(g_ReplacementOrigin + before + valueLength, origins + before + skipped, afterLength);
        memcpy(origins, g_ReplacementOrigin, total);
    }
    return Replaced::Done;
}

bool IsHostText(size_t at) { return (g_Origin[at] & ~kDoubled) >= kFromHostText; }
uint8_t HostTextBit(size_t at) { return static_cast<uint8_t>(1u << ((g_Origin[at] & ~kDoubled) - kFromHostText)); }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads g_Expansion by the Windows argv rules (those the POSIX split
// follows too: platform/posix/argv_split.cpp), with the quotes and
// backslashes of the template and the path alone deciding what is quoted.
// Inside quotes, a host text's backslashes before a quote that acts are
// marked to be doubled (2N backslashes and a quote give N), and a host
// text's own double quote is noted in `quoteInQuotes`. Outside quotes every
// character counts as it stands, as it always has.
void MarkQuotedHostTexts(uint8_t *quoteInQuotes) {
    bool quoted = false, inItem = false, firstItem = true;
    size_t i = 0;
    while (g_Expansion[i] != '\0') {
        const char c = g_Expansion[i];
        if (!quoted && IsBlank(c)) {
            if (inItem) firstItem = false;
            inItem = false;
            ++i;
            continue;
        }
        inItem = true;
        if (c == '"' && IsHostText(i)) {
            if (quoted) *quoteInQuotes |= HostTextBit(i);
            ++i;
            continue;
        }
        // The program item: quotes switch quoting, backslashes are plain.
        if (firstItem || c != '\\') {
            if (c == '"') {
                if (!firstItem && quoted && g_Expansion[i + 1] == '"' && !IsHostText(i + 1))
                    ++i; // "" inside quotes: a literal quote, and quoting goes on
                else
                    quoted = !quoted;
            }
            ++i;
            continue;
        }
        const size_t run = i;
        size_t count = 0;
        for (; g_Expansion[i] == '\\'; ++i) count += quoted && IsHostText(i) ? 2 : 1;
        if (g_Expansion[i] != '"' || IsHostText(i)) continue;
        if (quoted)
            for (size_t k = run; k < i; ++k)
                if (IsHostText(k)) g_Origin[k] |= kDoubled;
        if (count % 2 == 1) ++i; // an odd count makes the quote literal
    }
}

// g_Expansion into CommandBuffer with the marked backslashes doubled.
// Returns false when the result does not fit.
bool CopyIntoCommandBuffer() {
    size_t length = 0;
    for (size_t i = 0; g_Expansion[i] != '\0'; ++i) {
        const size_t needed = (g_Origin[i] & kDoubled) ? 2 : 1;
        if (length + needed > static_cast<size_t>(kCommandChars)) {
            g_State.CommandBuffer[0] = '\0';
            return false;
        }
        for (size_t k = 0; k < needed; ++k) g_State.CommandBuffer[length++] = g_Expansion[i];
    }
    g_State.CommandBuffer[length] = '\0';
    return true;
}

} // namespace

const char *HostPlaceholder(int index) { return kHostPlaceholders[index]; }

const char *ExpandedHostText(int index) { return g_HostTexts[index]; }

bool ReplacePlaceholder(char *text, size_t capacity, const char *placeholder, const char *value) {
    return Replace(text, nullptr, capacity, placeholder, value, kFromTemplate) != Replaced::TooLong;
}

bool ExpandCommandLine(const char *tempFilePath, const HostRecord *hostRecord, InsertedTexts *inserted) {
    InsertedTexts found{0, 0};
    if (inserted) *inserted = found;
    g_State.CommandBuffer[0] = '\0';
    // The setting holds at most 259 characters and the platform never makes
    // a longer path; strnlen guards values that came by other means.
    const size_t length = strnlen(g_State.Settings.CommandLine, kPathChars);
    memcpy(g_Expansion, g_State.Settings.CommandLine, length);
    g_Expansion[length] = '\0';
    memset(g_Origin, kFromTemplate, length);
    char path[platform::kMaxPath + 1];
    const size_t pathLength = strnlen(tempFilePath, platform::kMaxPath);
    memcpy(path, tempFilePath, pathLength);
    path[pathLength] = '\0';

    const char *const fields[kHostTexts] = {hostRecord->TextU, hostRecord->TextP, hostRecord->TextD,
                                            hostRecord->TextO, hostRecord->TextN};
    for (int i = 0; i < kHostTexts; ++i) CopyHostText(fields[i], g_HostTexts[i]);

    // The fixed order of replacement: the path first, then the host's texts.
    if (Replace(g_Expansion, g_Origin, kLongestExpansion, "%f", path, kFromPath) == Replaced::TooLong) return false;
    for (int i = 0; i < kHostTexts; ++i) {
        const Replaced replaced = Replace(g_Expansion, g_Origin, kLongestExpansion, kHostPlaceholders[i],
                                          g_HostTexts[i], static_cast<uint8_t>(kFromHostText + i));
        if (replaced == Replaced::TooLong) return false;
        if (replaced == Replaced::Done) found.Used |= static_cast<uint8_t>(1u << i);
    }

    MarkQuotedHostTexts(&found.QuoteInQuotes);
    if (inserted) *inserted = found;
    return CopyIntoCommandBuffer();
}
