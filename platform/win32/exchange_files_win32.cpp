// The exchange and capture files on Windows: the system temporary directory,
// unique private files, and the plain file calls named in platform.h.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/ansi_path_win32.h"

namespace platform {

namespace {

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle OpenExchangeFile(const char *path, DWORD disposition) {
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
}

} // namespace

// GetTempPathW and a conversion, so that a temporary directory in a folder
// the code page cannot name is reached through its short name.
uint32_t TempDirectory(char *buffer, uint32_t size) {
    if (size) buffer[0] = '\0';
    // GetTempPathW hands out at most MAX_PATH + 1 characters.
    wchar_t path[kWidePathChars + 1];
    const DWORD length = GetTempPathW(kWidePathChars + 1, path);
    if (length == 0) return 0;
    // A result of the buffer's size or more is the size it would need.
    if (length > kWidePathChars || size == 0) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    return AnsiPathFromWide(path, buffer, size < kMaxPath + 1u ? size : kMaxPath + 1u);
}

namespace {

// The exchange and capture files hold the host's text and the program's
// output, which may be private: whatever the folder hands down (a folder
// made at C:\ is readable by every local user), each file allows its owner
// (OWNER RIGHTS, S-1-3-4) and SYSTEM (S-1-5-18) all access and nobody else
// any, and SE_DACL_PROTECTED keeps inherited entries out. A self-relative
// descriptor written out byte by byte needs none of advapi32's functions.
constexpr DWORD kAllFileAccess = FILE_ALL_ACCESS;
#define EXTTOOL_LE32(v) static_cast<unsigned char>((v) & 0xFF), static_cast<unsigned char>(((v) >> 8) & 0xFF), \
                        static_cast<unsigned char>(((v) >> 16) & 0xFF), static_cast<unsigned char>(((v) >> 24) & 0xFF)
// An ACCESS_ALLOWED_ACE of 20 bytes for the SID S-1-AUTHORITY-RID.
#define EXTTOOL_ALLOW(authority, rid) 0x00, 0x00, 20, 0, EXTTOOL_LE32(kAllFileAccess), \
                                      1, 1, 0, 0, 0, 0, 0, authority, EXTTOOL_LE32(rid)
alignas(4) const unsigned char kPrivateFileSecurity[] = {
    // SECURITY_DESCRIPTOR_RELATIVE: revision 1, control SE_SELF_RELATIVE |
    // SE_DACL_PROTECTED | SE_DACL_PRESENT, no owner, group or SACL (the
    // system sets the owner), the DACL at offset 20.
    1, 0, 0x04, 0x90, EXTTOOL_LE32(0u), EXTTOOL_LE32(0u), EXTTOOL_LE32(0u), EXTTOOL_LE32(20u),
    // ACL: revision 2, 48 bytes, two entries.
    2, 0, 48, 0, 2, 0, 0, 0,
    EXTTOOL_ALLOW(3, 4u),  // OWNER RIGHTS
    EXTTOOL_ALLOW(5, 18u), // LOCAL SYSTEM
};
#undef EXTTOOL_ALLOW
#undef EXTTOOL_LE32
static_assert(sizeof kPrivateFileSecurity == 68);

// GetTempFileNameA's number space: a 16-bit number other than 0.
constexpr unsigned kUniqueNumbers = 0xFFFF;
unsigned g_NextUniqueNumber;

// A starting number that differs between processes and between calls, so
// that two hosts rarely clash; from 1 to 0xFFFF.
unsigned StartingUniqueNumber() {
    if (g_NextUniqueNumber == 0) g_NextUniqueNumber = GetTickCount() ^ (GetCurrentProcessId() << 4);
    return g_NextUniqueNumber++ % kUniqueNumbers + 1;
}

// Whether `directory` ends in a separator; the second byte of a double-byte
// character may be a "\" and is none.
bool EndsWithSeparator(const char *directory) {
    bool separator = false;
    for (const char *p = directory; *p != '\0'; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
            ++p;
            separator = false;
        } else {
            separator = *p == '\\' || *p == '/';
        }
    }
    return separator;
}

// An extension as platform.h allows it: a dot first, kMaxExtensionChars at
// most, and no separator, which could put the file outside its folder (in a
// double-byte code page this also refuses a character whose second byte is
// a "\").
bool IsExtension(const char *extension) {
    const size_t length = strnlen(extension, kMaxExtensionChars + 1);
    return extension[0] == '.' && length <= static_cast<size_t>(kMaxExtensionChars) &&
           strpbrk(extension, "\\/:") == nullptr;
}

} // namespace

// A new private file `prefix` + number + `extension` in `directory`. The
// extension, with its dot, is the caller's, so that a file may be given the
// one a program expects.
bool CreateUniqueFile(const char *directory, const char *prefix, const char *extension, char *path) {
    path[0] = '\0';
    const size_t length = strnlen(directory, kMaxPath + 1);
    if (length == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (!IsExtension(extension)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const char *const separator = EndsWithSeparator(directory) ? "" : "\\";
    // Whether the name fits does not depend on the number drawn: the widest
    // one must fit.
    if (length + strlen(separator) + strnlen(prefix, 3) + strlen("FFFF") + strlen(extension) >
        static_cast<size_t>(kMaxPath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    SECURITY_ATTRIBUTES security;
    memset(&security, 0, sizeof security);
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = const_cast<unsigned char *>(kPrivateFileSecurity);
    unsigned number = StartingUniqueNumber();
    for (unsigned attempt = 0; attempt < kUniqueNumbers; ++attempt, number = number % kUniqueNumbers + 1) {
        snprintf(path, kMaxPath + 1, "%s%s%.3s%X%s", directory, separator, prefix, number, extension);
        const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, &security, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            // Normal attributes, as the file has on Windows already. Wine
            // keeps no OWNER RIGHTS entry, gives the file no Unix permission
            // at all and so takes it for read-only; this makes it 0600 there.
            SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
        path[0] = '\0';
        // A folder that does not exist is reported as GetTempFileNameA does.
        SetLastError(error == ERROR_PATH_NOT_FOUND ? ERROR_DIRECTORY : error);
        return false;
    }
    path[0] = '\0';
    SetLastError(ERROR_FILE_EXISTS);
    return false;
}

FileHandle FileCreateAlways(const char *path) { return OpenExchangeFile(path, CREATE_ALWAYS); }

FileHandle FileOpenExisting(const char *path) { return OpenExchangeFile(path, OPEN_EXISTING); }

FileHandle FileOpenShared(const char *path) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
}

bool FileWrite(FileHandle file, const void *data, uint32_t count, uint32_t *done) {
    DWORD written = 0;
    const BOOL ok = WriteFile(AsHandle(file), data, count, &written, nullptr);
    *done = written;
    return ok != FALSE;
}

bool FileRead(FileHandle file, void *data, uint32_t count, uint32_t *done) {
    DWORD read = 0;
    const BOOL ok = ReadFile(AsHandle(file), data, count, &read, nullptr);
    *done = read;
    return ok != FALSE;
}

void FileClose(FileHandle file) {
    if (file != kInvalidFile) CloseHandle(AsHandle(file));
}

bool FileDelete(const char *path) { return DeleteFileA(path) != FALSE; }

} // namespace platform
