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

// A name with a volume starts at that volume's root; one that starts with a
// separator at the current volume's root; any other in the current folder.
void resolve(const char* currentFolder, const char* name, FullPath* path) {
  path->depth = 0;
  path->complete = true;
  if (const char* colon = colonIn(name)) {
    path->volume = Span{name, static_cast<size_t>(colon - name)};
    follow(path, colon + 1);
    return;
  }
  const char* colon = colonIn(currentFolder);
  path->volume = Span{currentFolder, colon == nullptr ? 0 : static_cast<size_t>(colon - currentFolder)};
  if (!isSeparator(name[0])) follow(path, colon == nullptr ? currentFolder : colon + 1);
  follow(path, name);
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
