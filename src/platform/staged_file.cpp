#include "platform/staged_file.h"

#include "platform/text.h"

namespace platform {
namespace {

constexpr size_t kSuffixLength = sizeof kTemporarySuffix - 1;

// The longest start of name, at most limit bytes, that ends between two
// UTF-8 characters (name is longer than limit).
size_t wholeCharacters(const char* name, size_t limit) {
  size_t length = limit;
  while (length > 0 && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) --length;
  return length;
}

}  // namespace

bool stagedTemporaryName(const char* target, char* out, size_t capacity) {
  const size_t length = text::lengthWithin(target, capacity);
  if (length == capacity) return false;
  size_t nameStart = length;
  while (nameStart > 0 && !isPathSeparator(target[nameStart - 1])) --nameStart;
  size_t kept = length;
  if (length - nameStart + kSuffixLength > kFileNameLimit) {
    kept = nameStart + wholeCharacters(target + nameStart, kFileNameLimit - kSuffixLength);
    // A name that ends in the suffix would come out as itself.
    if (kept + kSuffixLength == length && text::equal(target + kept, kTemporarySuffix)) {
      kept = nameStart + wholeCharacters(target + nameStart, kept - nameStart - 1);
    }
  }
  if (kept + sizeof kTemporarySuffix > capacity) return false;
  text::copyBytes(out, target, kept);
  text::copyBytes(out + kept, kTemporarySuffix, sizeof kTemporarySuffix);
  return true;
}

File* stagedOpen(StagedFile* staged, const char* target, const char* mode) {
  staged->file = nullptr;
  staged->target = target;
  if (!stagedTemporaryName(target, staged->temporaryName, sizeof staged->temporaryName) ||
      !fileIsReplaceable(target)) {
    return nullptr;
  }
  // Always a new file of our own: whatever has the name (an earlier run's
  // file, or a link planted in a shared folder) goes first, and the new one
  // is made only if nothing has come back in its place. A file that a live
  // run is writing stays, and then nothing is made.
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
