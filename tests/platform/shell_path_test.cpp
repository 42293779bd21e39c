// Names that lead to one file on the shell's FAT volumes: a log or a
// verified image is refused when it is the job's own file, so a miss here
// lets the program write into its image.
#include "platform/shell_path.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/staged_file.h"

namespace {

struct PathCase {
  const char* current;
  std::string a;
  std::string b;
  bool same;
};

std::string deep(const char* last) {
  std::string path;
  for (int i = 0; i < 70; ++i) path += "d\\";
  return path + last;
}

TEST(ShellPath, SameFileWithoutRegardToCaseOrSpelling) {
  const PathCase cases[] = {
      {"FS0:\\work", "a.bin", "A.BIN", true},
      {"FS0:\\work", "a.bin", "fs0:/WORK/a.bin", true},
      {"FS0:\\work", "a.bin", "\\work\\a.bin", true},
      {"FS0:\\work", "a.bin", ".\\sub\\..\\\\a.bin", true},
      {"FS0:\\work", "a.bin", "a.bin. . ", true},
      {"FS0:\\", "..\\a.bin", "a.bin", true},
      {"FS0:\\work", "a.bin", "fs0:a.bin", true},
      {"FS0:\\work", "a.bin", "FS1:\\work\\a.bin", false},
      {"FS0:\\work", "FS1:a.bin", "FS1:\\a.bin", true},
      {"FS0:\\work", "a.bin", "\\a.bin", false},
      {"FS0:\\work", "a.bin", "a.bin.partial", false},
      {"FS0:\\work", "a.bin", "work\\a.bin", false},
      {"", "a.bin", "/A.bin", true},
      {"FS0:\\", deep("a.bin"), deep("A.BIN"), true},
      {"FS0:\\", deep("a.bin"), deep("b.bin"), false},
      // No shell: the program's folder on its volume, mappings elsewhere.
      {"\\EFI\\BOOT", "firmware.bin", "\\EFI\\BOOT\\FIRMWARE.BIN", true},
      {"\\EFI\\BOOT", "backup.bin", "\\EFI\\BOOT\\backup.bin", true},
      {"\\EFI\\BOOT", "x.bin", "\\x.bin", false},
      {"\\EFI\\BOOT", "x.bin", "/efi/boot/x.bin", true},
      {"\\EFI\\BOOT", "..\\x.bin", "\\EFI\\x.bin", true},
      {"\\EFI\\BOOT", "x.bin", "fs0:\\EFI\\BOOT\\x.bin", false},
      {"\\EFI\\BOOT", "\\r.json", "r.json", false},
      {"", "x.bin", "\\x.bin", true},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(shellpath::sameFile(c.current, c.a.c_str(), c.b.c_str()), c.same)
        << c.current << " " << c.a << " " << c.b;
    EXPECT_EQ(shellpath::sameFile(c.current, c.b.c_str(), c.a.c_str()), c.same) << "the other way";
  }
}

struct TemporaryCase {
  const char* name;
  std::string target;
  std::string temporary;  // empty: refused
};

TEST(StagedFile, TemporaryNameFitsTheLongestFileName) {
  const std::string a247(247, 'a');
  const std::string e = "\xC3\xA9";  // one character, two bytes
  const TemporaryCase cases[] = {
      {"short", "dump.bin", "dump.bin.partial"},
      {"suffix just fits", a247, a247 + ".partial"},
      {"one byte too many", a247 + "b", a247 + ".partial"},
      {"longest name", a247 + std::string(8, 'b'), a247 + ".partial"},
      {"only the name counts", "dir/" + a247 + "bc", "dir/" + a247 + ".partial"},
      {"never the target itself", a247 + ".partial", a247.substr(1) + ".partial"},
      {"no half a character", std::string(246, 'a') + e + "b", std::string(246, 'a') + ".partial"},
      {"a whole character stays", std::string(245, 'a') + e + "bcd", std::string(245, 'a') + e + ".partial"},
      {"longer than the name buffer", std::string(platform::kStagedNameCapacity, 'a'), ""},
  };
  for (const TemporaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    char out[platform::kStagedNameCapacity];
    const bool made = platform::stagedTemporaryName(c.target.c_str(), out, sizeof out);
    EXPECT_EQ(made, !c.temporary.empty());
    if (made) {
      EXPECT_EQ(std::string(out), c.temporary);
    }
  }
}

}  // namespace
