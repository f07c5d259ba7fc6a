// Replacing a file's content safely on POSIX, for the profile service.
//
// Atomic, where it can be: the new content goes into a new file beside the
// old one, which is created readable and writable by nobody but the saver
// (and by no one the old file does not allow), then given the old file's
// owner, group and mode (special bits included), flushed, and renamed over
// the old file. Readers see the old content or the new one, never a mix; a
// failure or an interruption leaves the old file as it was.
//
// In place, where that is refused but the file itself may be written, as
// Windows writes such files: the bytes after the changed range are moved
// and the new ones written between. Not atomic: a failure after the first
// byte has been written may leave the file half-written; a failure before
// leaves it as it was. The save goes in place when
//   - the new file cannot be made: the directory may not be written
//     (EACCES, EPERM) or the new file's name is too long (ENAMETOOLONG);
//   - the new file cannot be given the old one's owner and group (EPERM,
//     EINVAL), as for a member of the file's group who is not its owner;
//   - the rename is refused: a sticky directory and a file of another user
//     (EPERM, EACCES), a file that is a mount point of its own, as one
//     bind-mounted file is (EBUSY), or a rename across mounts (EXDEV);
//   - the file has more than one name (hard links), which a rename would
//     part: the other names would keep the old content.
// Any other failure (no space, no descriptors, an I/O error) is reported as
// it is, with the new file removed and the old one untouched.
//
// Either way a symbolic link stays a link to the changed file, a file that
// may not be written is never replaced, and a missing file is created
// (where its directory may be written).
#include "platform/posix/file_replace_posix.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr size_t kChunkBytes = 8192;
// Links are followed at most this deep, as the kernel does.
constexpr int kMaxLinkDepth = 40;

// Why the atomic save may be given up for one in place. Any other failure
// is reported as it is.
bool NewFileIsRefused(int error) { return error == EACCES || error == EPERM || error == ENAMETOOLONG; }
bool OwnerIsRefused(int error) { return error == EPERM || error == EINVAL; }
bool RenameIsRefused(int error) { return error == EACCES || error == EPERM || error == EBUSY || error == EXDEV; }

bool WriteAll(int fd, const char *data, size_t count) {
    while (count > 0) {
        const ssize_t done = write(fd, data, count);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

bool WritePieces(int fd, const FileEdit &edit) {
    for (int i = 0; i < edit.count; ++i)
        if (!WriteAll(fd, edit.pieces[i], edit.lengths[i])) return false;
    return true;
}

// Copies `count` bytes from `in`, read on from where it stands, to `out`
// (out < 0: skips them).
bool Transfer(int in, int out, off_t count) {
    static char chunk[kChunkBytes];
    while (count > 0) {
        const size_t want = count < static_cast<off_t>(sizeof chunk) ? static_cast<size_t>(count) : sizeof chunk;
        const ssize_t got = read(in, chunk, want);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) errno = EIO; // the file shrank while it was read
        if (got <= 0) return false;
        if (out >= 0 && !WriteAll(out, chunk, static_cast<size_t>(got))) return false;
        count -= got;
    }
    return true;
}

bool WriteNewContent(int in, int out, const FileEdit &edit) {
    if (in < 0) return WritePieces(out, edit);
    return lseek(in, 0, SEEK_SET) == 0 && Transfer(in, out, edit.replaceFrom) &&
           Transfer(in, -1, edit.replaceTo - edit.replaceFrom) && WritePieces(out, edit) &&
           Transfer(in, out, edit.fileLength - edit.replaceTo);
}

// A new file beside `path`, with a name of its own and the permissions
// `mode` (less the umask), for the atomic save. A file of that name that is
// already there is never opened.
int CreateSibling(const char *path, char *siblingPath, size_t size, mode_t mode) {
    static unsigned counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int n = snprintf(siblingPath, size, "%s.%ld.%u.tmp", path, static_cast<long>(getpid()), counter++);
        if (n < 0 || static_cast<size_t>(n) >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd;
        do fd = open(siblingPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

enum class Outcome { Done, Refused, Failed };

// The new file takes the old one's owner, group, permissions and place; it
// is gone again when anything fails. Until the mode is set it is open to no
// one but its owner. The mode comes last: a change of owner or group, and
// a write by a user other than root, clear the set-user-ID and set-group-ID
// bits.
Outcome ReplaceThroughSibling(int in, const char *target, const FileEdit &edit) {
    struct stat old;
    if (in >= 0 && fstat(in, &old) != 0) return Outcome::Failed;
    // A rename would part the file from its other names, which would keep
    // the old content.
    if (in >= 0 && old.st_nlink > 1) return Outcome::Refused;
    char siblingPath[PATH_MAX + 32];
    const int out = CreateSibling(target, siblingPath, sizeof siblingPath, in >= 0 ? old.st_mode & 0600 : 0666);
    if (out < 0) return NewFileIsRefused(errno) ? Outcome::Refused : Outcome::Failed;
    bool ok = true;
    bool refused = false;
    if (in >= 0) {
        ok = fchown(out, old.st_uid, old.st_gid) == 0;
        refused = !ok && OwnerIsRefused(errno);
    }
    ok = ok && WriteNewContent(in, out, edit) && (in < 0 || fchmod(out, old.st_mode & 07777) == 0) && fsync(out) == 0;
    const int closed = close(out);
    ok = ok && closed == 0;
    if (ok) {
        ok = rename(siblingPath, target) == 0;
        refused = !ok && RenameIsRefused(errno);
    }
    if (!ok) {
        const int error = errno;
        unlink(siblingPath);
        errno = error;
    }
    return ok ? Outcome::Done : refused ? Outcome::Refused : Outcome::Failed;
}

bool ReadAllAt(int fd, char *data, size_t count, off_t offset) {
    while (count > 0) {
        const ssize_t done = pread(fd, data, count, offset);
        if (done < 0 && errno == EINTR) continue;
        if (done == 0) errno = EIO; // the file shrank under us
        if (done <= 0) return false;
        data += done;
        offset += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

// `wrote` is set once any byte has reached the file.
bool WriteAllAt(int fd, const char *data, size_t count, off_t offset, bool &wrote) {
    while (count > 0) {
        const ssize_t done = pwrite(fd, data, count, offset);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        wrote = true;
        data += done;
        offset += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

// Moves `count` bytes of the file from `from` to `to`; the two ranges may
// overlap, so a move towards the end starts with the last chunk.
bool MoveBytes(int fd, off_t from, off_t to, off_t count, bool &wrote) {
    static char chunk[kChunkBytes];
    if (from == to) return true;
    for (off_t done = 0; done < count;) {
        const size_t take = count - done < static_cast<off_t>(sizeof chunk) ? static_cast<size_t>(count - done)
                                                                             : sizeof chunk;
        const off_t at = to > from ? count - done - static_cast<off_t>(take) : done;
        if (!ReadAllAt(fd, chunk, take, from + at) || !WriteAllAt(fd, chunk, take, to + at, wrote)) return false;
        done += static_cast<off_t>(take);
    }
    return true;
}

// The save in place: the bytes after the changed range are moved, the new
// text written between. The room a longer file needs is reserved first, so
// a full disk fails before anything has changed; a failure before the first
// byte is written gives that room back and leaves the file as it was.
bool RewriteInPlace(const char *target, const FileEdit &edit) {
    int fd;
    do fd = open(target, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    const off_t tailLength = edit.fileLength - edit.replaceTo;
    const off_t newLength = edit.replaceFrom + edit.length + tailLength;
    bool ok = true;
    bool wrote = false;
    if (newLength > edit.fileLength) {
        const int error = posix_fallocate(fd, 0, newLength);
        if (error != 0) {
            ok = false;
            errno = error;
        }
    }
    ok = ok && MoveBytes(fd, edit.replaceTo, edit.replaceFrom + edit.length, tailLength, wrote);
    off_t at = edit.replaceFrom;
    for (int i = 0; ok && i < edit.count; ++i) {
        ok = WriteAllAt(fd, edit.pieces[i], edit.lengths[i], at, wrote);
        at += static_cast<off_t>(edit.lengths[i]);
    }
    if (!ok && !wrote && newLength > edit.fileLength) {
        const int error = errno;
        if (ftruncate(fd, edit.fileLength) != 0) {} // only the reservation was made
        errno = error;
    }
    if (ok && newLength < edit.fileLength) ok = ftruncate(fd, newLength) == 0;
    ok = ok && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return ok;
}

} // namespace

bool FollowLinks(const char *path, char *target, size_t size) {
    if (strlen(path) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    strcpy(target, path);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        char link[PATH_MAX];
        const ssize_t length = readlink(target, link, sizeof link);
        // Not a link, or nothing there yet: this is the file. A link that
        // cannot be read is not taken for a file, which would replace it.
        if (length < 0) return errno == EINVAL || errno == ENOENT;
        if (static_cast<size_t>(length) >= sizeof link) {
            errno = ENAMETOOLONG;
            return false;
        }
        // A relative link is relative to the directory that holds it.
        const char *slash = strrchr(target, '/');
        const size_t keep = link[0] == '/' || !slash ? 0 : static_cast<size_t>(slash - target) + 1;
        if (keep + static_cast<size_t>(length) >= size) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(target + keep, link, static_cast<size_t>(length));
        target[keep + static_cast<size_t>(length)] = '\0';
    }
    errno = ELOOP;
    return false;
}

int OpenFileToEdit(const char *target) {
    int fd;
    do fd = open(target, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // A file that may not be written is not replaced, as on Windows.
    if (faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool ReplaceFileContent(const char *target, int in, const FileEdit &edit) {
    switch (ReplaceThroughSibling(in, target, edit)) {
    case Outcome::Done: return true;
    case Outcome::Refused: return RewriteInPlace(target, edit);
    case Outcome::Failed: break;
    }
    return false;
}

} // namespace platform
