#include "platform/staged_file.h"

#include "platform/text.h"

namespace platform {

File* stagedOpen(StagedFile* staged, const char* target, const char* mode) {
  staged->file = nullptr;
  staged->target = target;
  const size_t length = text::lengthWithin(target, kStagedNameCapacity);
  if (length + sizeof kTemporarySuffix > kStagedNameCapacity || fileIsFolder(target)) {
    return nullptr;
  }
  text::copyBytes(staged->temporaryName, target, length);
  text::copyBytes(staged->temporaryName + length, kTemporarySuffix, sizeof kTemporarySuffix);
  // Always a new file of our own: whatever has the name (an earlier run's
  // file, or a link planted in a shared folder) goes first, and the new one
  // is made only if nothing has come back in its place.
  fileRemove(staged->temporaryName);
  staged->file = fileOpen(staged->temporaryName, text::equal(mode, "wb+") ? "wbx+" : "wbx");
  return staged->file;
}

void stagedDiscard(StagedFile* staged) {
  stagedAbandon(staged);
  fileRemove(staged->temporaryName);
}

StagedEnd stagedCommit(StagedFile* staged) {
  if (stagedAbandon(staged) != 0) return StagedEnd::closeFailed;
  if (fileReplace(staged->temporaryName, staged->target) != 0) return StagedEnd::replaceFailed;
  return StagedEnd::placed;
}

int stagedAbandon(StagedFile* staged) {
  File* file = staged->file;
  staged->file = nullptr;
  return file == nullptr ? 0 : fileClose(file);
}

}  // namespace platform
