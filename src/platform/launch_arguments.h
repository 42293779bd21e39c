// The command line of a program that no shell started: the text a boot
// entry's load options carry or, when they hold none, the one line of
// velkoran.args beside the program. Portable, so that it is tested on the
// host; only the UEFI start-up uses it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace launch {

constexpr const char kArgumentsFileName[] = "velkoran.args";
// The longest line velkoran.args may hold; a longer one is refused rather
// than cut (a cut file name would write somewhere else).
constexpr size_t kMaxArgumentsLine = 4096;

// Splits text[0..length) in place as the shell splits a command line:
// blanks and tabs separate, double quotes group (and are dropped), "^" takes
// the next character as it is. text[length] must be writable. Stores at
// most capacity pointers; returns the number of arguments. *unbalanced (when
// given) tells whether a double quote was left open at the end.
int splitInPlace(char* text, size_t length, char** argv, int capacity,
                 bool* unbalanced = nullptr);

// Where the arguments came from.
enum class Source : uint8_t { kNone, kLoadOptions, kArgumentsFile };

// Why a line was refused as a whole: a guess at what it meant could write
// somewhere else, flash another file or skip the power-off it asks for.
enum class Refusal : uint8_t {
  kNone,
  kTooLong,          // velkoran.args only
  kNotText,          // velkoran.args in UTF-16, or not valid UTF-8
  kNulCharacter,     // a NUL inside the line
  kUnbalancedQuote,  // a double quote that is never closed
};

struct Arguments {
  int argc;
  char** argv;  // argv[0] is programName; nullptr-terminated
  Source source;
  Refusal refusal;  // when not kNone, argv holds argv[0] alone
};

// Builds the argument vector from the load options (UCS-2 bytes as the
// firmware hands them: maybe empty, odd-sized or unterminated, maybe led by
// the program's own name) or else from velkoran.args, opened with
// platform::fileOpen. Load options count only when their first argument
// after a program name begins with "-" (firmware may pass binary data).
// A refused line gives no arguments at all, as an empty line does.
// argv is one block from platform::allocate; false when memory ran out.
bool buildArguments(const char* programName, const void* loadOptions, size_t loadOptionsSize,
                    Arguments* arguments);

// Prints the error line of a refused line (nothing when it was not refused).
void printRefusal(const Arguments& arguments);

}  // namespace launch
