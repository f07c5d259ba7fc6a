// Errors and messages on POSIX: errno, strerror_r and standard error in
// place of GetLastError, FormatMessageA and MessageBoxA.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace platform {

uint32_t LastError() { return static_cast<uint32_t>(errno); }

void SystemMessage(uint32_t code, char *buffer, uint32_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    char text[256];
    // The GNU strerror_r returns the text, which may or may not be `text`.
    const char *const message = strerror_r(static_cast<int>(code), text, sizeof text);
    if (message) snprintf(buffer, size, "%s", message);
}

namespace {

// A host that wants to know that a message was shown (plugin-host, which
// exits with 1 then) exports this function; it is called once per message.
// The module's own exports stay as they are.
constexpr char kHostMessageNotice[] = "PluginHostMessageShown";

void TellHostAMessageWasShown() {
    void *const notice = dlsym(RTLD_DEFAULT, kHostMessageNotice);
    if (notice) reinterpret_cast<void (*)()>(notice)();
}

} // namespace

namespace {

// A message may hold what a program wrote; on a terminal its escape
// sequences would set the title or clear the screen. Control bytes but line
// breaks and tabs, and DEL, show as "?": no character set the text may be in
// uses them inside a character.
void MaskControls(char *line, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) line[i] = '?';
    }
}

} // namespace

// "title: text" on standard error, in one write so that concurrent output
// cannot come between its parts.
void ShowErrorBox(WindowHandle, const char *text, const char *title) {
    TellHostAMessageWasShown();
    char line[2048];
    const size_t textLength = strlen(text);
    const bool endsWithBreak = textLength > 0 && text[textLength - 1] == '\n';
    int length = snprintf(line, sizeof line, "%s: %s%s", title, text, endsWithBreak ? "" : "\n");
    if (length < 0) return;
    if (static_cast<size_t>(length) >= sizeof line) {
        // Longer than any message of the plug-in; the end still breaks the line.
        length = sizeof line - 1;
        line[length - 1] = '\n';
    }
    MaskControls(line, static_cast<size_t>(length));
    ssize_t result;
    do {
        result = write(STDERR_FILENO, line, static_cast<size_t>(length));
    } while (result < 0 && errno == EINTR);
}

} // namespace platform
