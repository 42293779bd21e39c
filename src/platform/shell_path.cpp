#include "platform/shell_path.h"

#include <cstddef>

#include "platform/text.h"

namespace shellpath {
namespace {

constexpr int kMaxDepth = 64;

struct Span {
  const char* text;
  size_t length;
};

struct FullPath {
  Span volume;  // the mapping before ":", such as "FS0"
  Span parts[kMaxDepth];
  int depth;
  bool complete;  // false when the path went deeper than kMaxDepth
};

bool isSeparator(char c) { return c == '\\' || c == '/'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameText(Span a, Span b) {
  if (a.length != b.length) return false;
  for (size_t i = 0; i < a.length; ++i) {
    if (upper(a.text[i]) != upper(b.text[i])) return false;
  }
  return true;
}

bool is(Span part, const char* name) {
  return part.length == text::length(name) && sameText(part, Span{name, part.length});
}

// FAT drops blanks and dots from the end of a name.
Span trimmed(Span part) {
  size_t length = part.length;
  while (length > 0 && (part.text[length - 1] == ' ' || part.text[length - 1] == '.')) --length;
  return length == 0 ? part : Span{part.text, length};
}

void follow(FullPath* path, const char* text) {
  const char* at = text;
  while (*at != '\0') {
    while (isSeparator(*at)) ++at;
    const char* start = at;
    while (*at != '\0' && !isSeparator(*at)) ++at;
    const Span part{start, static_cast<size_t>(at - start)};
    if (part.length == 0 || is(part, ".")) continue;
    if (is(part, "..")) {
      if (path->depth > 0) --path->depth;
    } else if (path->depth == kMaxDepth) {
      path->complete = false;
      return;
    } else {
      path->parts[path->depth++] = trimmed(part);
    }
  }
}

const char* colonIn(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == ':') return text;
  }
  return nullptr;
}

// A name that starts with a separator starts at its volume's root; any
// other in the current folder, or, on another volume (whose current folder
// is not known here), at that volume's root.
void resolve(const char* currentFolder, const char* name, FullPath* path) {
  path->depth = 0;
  path->complete = true;
  const char* folderColon = colonIn(currentFolder);
  const char* folderPath = folderColon == nullptr ? currentFolder : folderColon + 1;
  const Span currentVolume{currentFolder, static_cast<size_t>(folderPath - currentFolder) -
                                              (folderColon == nullptr ? 0 : 1)};
  const char* nameColon = colonIn(name);
  const char* namePath = nameColon == nullptr ? name : nameColon + 1;
  path->volume = nameColon == nullptr ? currentVolume
                                      : Span{name, static_cast<size_t>(nameColon - name)};
  if (!isSeparator(namePath[0]) && sameText(path->volume, currentVolume)) follow(path, folderPath);
  follow(path, namePath);
}

}  // namespace

bool sameFile(const char* currentFolder, const char* a, const char* b) {
  FullPath pathA;
  FullPath pathB;
  resolve(currentFolder, a, &pathA);
  resolve(currentFolder, b, &pathB);
  if (!pathA.complete || !pathB.complete) {
    return sameText(Span{a, text::length(a)}, Span{b, text::length(b)});
  }
  if (!sameText(pathA.volume, pathB.volume) || pathA.depth != pathB.depth) return false;
  for (int i = 0; i < pathA.depth; ++i) {
    if (!sameText(pathA.parts[i], pathB.parts[i])) return false;
  }
  return true;
}

}  // namespace shellpath
