// How the POSIX profile service replaces a settings file's content: the
// profile file reads the old content and plans the change, this part makes
// it reach the disk (contract in file_replace_posix.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace platform {

// The new content of a file: the old bytes, with [replaceFrom, replaceTo)
// giving way to `pieces`, written one after the other.
struct FileEdit {
    off_t replaceFrom;
    off_t replaceTo;
    off_t fileLength; // of the old file, as it was read
    const char *pieces[9];
    size_t lengths[9];
    int count;
    off_t length;     // of all pieces together
};

// The file that `path` finally names into `target` (`size` bytes): symbolic
// links are followed, also to a target that does not exist yet. Returns
// false, with errno, for a link that cannot be read or a name too long.
bool FollowLinks(const char *path, char *target, size_t size);

// Opens the old file `target` for reading before an edit. Returns its
// descriptor; -1 with errno ENOENT when there is none yet (the edit creates
// it); -1 with another errno when it cannot be read or may not be written.
int OpenFileToEdit(const char *target);

// Gives `target` the content `edit` describes; `in` is the descriptor
// OpenFileToEdit returned (-1: no old file) and is read again from its
// start. Returns false, with errno, when the change could not be made.
bool ReplaceFileContent(const char *target, int in, const FileEdit &edit);

} // namespace platform
