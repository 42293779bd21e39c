// An output file written under a temporary name next to its target and put
// in the target's place only once it is complete and closed, so that a run
// that fails never destroys an earlier file of the same name, and what did
// arrive stays under the temporary name.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace platform {

// The temporary name is the target's name with this appended.
constexpr char kTemporarySuffix[] = ".partial";
// Room for the longest path the platforms take (PATH_MAX on Linux, with its
// terminating zero).
constexpr size_t kStagedNameCapacity = 4096;
// The longest name of a file within its folder: FAT counts 255 UTF-16
// units and Linux 255 bytes, so 255 bytes fit both.
constexpr size_t kFileNameLimit = 255;

// Writes the temporary name of target into out: target with the suffix, or,
// when that would make a name longer than kFileNameLimit, target's name cut
// (at a whole character) to leave room for the suffix, never target itself.
// False when it does not fit in capacity.
bool stagedTemporaryName(const char* target, char* out, size_t capacity);

struct StagedFile {
  File* file;
  const char* target;
  char temporaryName[kStagedNameCapacity];
};

// Opens the temporary file in a writing mode ("wb" or "wb+") as a new file,
// after removing anything but a folder under its name. nullptr when the
// target is a folder (before anything is created), when the name is too
// long, or when the temporary file cannot be made.
File* stagedOpen(StagedFile* staged, const char* target, const char* mode);

enum class StagedEnd { placed, closeFailed, replaceFailed };

// Closes the complete file and puts it in the target's place.
StagedEnd stagedCommit(StagedFile* staged);

// Closes the file and leaves its data under the temporary name; -1 when
// closing failed.
int stagedAbandon(StagedFile* staged);

// Closes the file and removes it: for a run that ended before a byte of
// data arrived.
void stagedDiscard(StagedFile* staged);

}  // namespace platform
