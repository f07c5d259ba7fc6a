// Exchange file, processes and messages on Windows.
#include "platform/platform.h"

namespace platform {

uint32_t TempDirectory(char *buffer, uint32_t size) {
    if (size) buffer[0] = '\0';
    return 0;
}
bool CreateUniqueFile(const char *, const char *, char *path) {
    path[0] = '\0';
    return false;
}
FileHandle FileCreateAlways(const char *) { return kInvalidFile; }
FileHandle FileOpenExisting(const char *) { return kInvalidFile; }
bool FileWrite(FileHandle, const void *, uint32_t, uint32_t *done) {
    *done = 0;
    return false;
}
bool FileRead(FileHandle, void *, uint32_t, uint32_t *done) {
    *done = 0;
    return false;
}
void FileClose(FileHandle) {}
bool FileDelete(const char *) { return false; }
ProcessHandle ProcessStart(const char *) { return 0; }
void ProcessWaitAndRelease(ProcessHandle) {}
uint32_t LastError() { return 0; }
void SystemMessage(uint32_t, char *buffer, uint32_t size) {
    if (size) buffer[0] = '\0';
}
void ShowErrorBox(WindowHandle, const char *, const char *) {}

} // namespace platform
