// The files in memory stand in for the disk in fuzzers and tests, so every
// case here runs on both and must see the same thing: what the program sees
// of the disk is what it sees of memory.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/host/file_system.h"
#include "platform/host/host.h"
#include "platform/platform.h"
#include "sim/rig.h"

namespace {

using Files = sim::Rig::Files;

// What a case saw, as text: numbers and bytes in order.
struct Log {
  std::string text;
  void add(const std::string& what, long long value) {
    text += what + "=" + std::to_string(value) + " ";
  }
};

std::string readAll(platform::File* file, size_t count) {
  std::string bytes(count, '\0');
  bytes.resize(platform::fileRead(file, bytes.data(), count));
  return bytes;
}

struct FileCase {
  const char* name;
  std::function<void(sim::Rig&, Log&)> run;
  const char* expected;
};

const FileCase kCases[] = {
    {"wb empties a file; reads stop at its end",
     [](sim::Rig& rig, Log& log) {
       rig.writeFile("f", std::string(100, 'x'));
       platform::File* file = platform::fileOpen("f", "wb");
       log.add("put", platform::filePutByte(file, 0xA5));
       log.add("write", long(platform::fileWrite(file, "bc", 2)));
       log.add("close", platform::fileClose(file));
       file = platform::fileOpen("f", "rb");
       log.add("end", platform::fileSeekEnd(file));
       log.add("size", platform::fileTell(file));
       log.add("seek", platform::fileSeek(file, 0));
       for (int i = 0; i < 4; ++i) log.add("byte", platform::fileGetByte(file));
       log.add("atEnd", platform::fileAtEnd(file));
       log.add("read", long(readAll(file, 8).size()));
       platform::fileClose(file);
     },
     "put=0 write=2 close=0 end=0 size=3 seek=0 byte=165 byte=98 byte=99 byte=-1 atEnd=1 "
     "read=0 "},
    {"wb+ reads back what it wrote; a seek clears the end",
     [](sim::Rig&, Log& log) {
       platform::File* file = platform::fileOpen("g", "wb+");
       log.add("write", long(platform::fileWrite(file, "hello", 5)));
       log.add("seek", platform::fileSeek(file, 1));
       log.add("read", long(readAll(file, 10).size()));
       log.add("atEnd", platform::fileAtEnd(file));
       log.add("seek", platform::fileSeek(file, 0));
       log.add("atEnd", platform::fileAtEnd(file));
       log.add("first", platform::fileGetByte(file));
       log.add("past", platform::fileSeek(file, 9));
       log.add("tell", platform::fileTell(file));
       log.add("byte", platform::fileGetByte(file));
       log.add("back", platform::fileSeek(file, -1));
       platform::fileClose(file);
     },
     "write=5 seek=0 read=4 atEnd=1 seek=0 atEnd=0 first=104 past=0 tell=9 byte=-1 back=-1 "},
    {"a stream reads or writes only as its mode says",
     [](sim::Rig& rig, Log& log) {
       rig.writeFile("h", std::string("abc"));
       platform::File* file = platform::fileOpen("h", "r");
       log.add("write", long(platform::fileWrite(file, "zz", 2)));
       platform::fileClose(file);
       file = platform::fileOpen("h", "wb");
       log.add("read", long(readAll(file, 3).size()));
       platform::fileClose(file);
       log.add("size", long(rig.readFile("h").size()));
     },
     "write=0 read=0 size=0 "},
    {"names that cannot be opened",
     [](sim::Rig& rig, Log& log) {
       rig.makeDirectory("d");
       rig.writeFile("plain", std::string("x"));
       for (const char* mode : {"r", "rb", "wb", "wb+"}) {
         log.add(std::string("dir:") + mode, platform::fileOpen("d", mode) != nullptr);
       }
       log.add("missing", platform::fileOpen("missing", "rb") != nullptr);
       log.add("noDir", platform::fileOpen("nodir/x", "wb") != nullptr);
       log.add("underFile", platform::fileOpen("plain/x", "wb") != nullptr);
       log.add("mode a", platform::fileOpen("plain", "a") != nullptr);
       platform::File* file = platform::fileOpen("d/inside", "wb");
       log.add("inDir", file != nullptr);
       if (file != nullptr) platform::fileClose(file);
     },
     "dir:r=0 dir:rb=0 dir:wb=0 dir:wb+=0 missing=0 noDir=0 underFile=0 mode a=0 inDir=1 "},
    {"tokens up to the end",
     [](sim::Rig& rig, Log& log) {
       rig.writeFile("kcs.cfg", std::string("CMD  CA3\n\tDATA CA2"));
       platform::File* file = platform::fileOpen("kcs.cfg", "r");
       char token[4];
       while (platform::fileReadToken(file, token, sizeof token)) {
         log.add(token, platform::fileAtEnd(file));
       }
       platform::fileClose(file);
     },
     "CMD=0 CA3=0 DAT=0 CA2=1 "},
    {"a large file whose tail is zeros",
     [](sim::Rig& rig, Log& log) {
       rig.writeSparseFile("big", sim::Bytes{7, 8}, 0x100000000ull);
       platform::File* file = platform::fileOpen("big", "rb");
       platform::fileSeekEnd(file);
       log.add("size", platform::fileTell(file));
       log.add("atSize", platform::fileGetByte(file));
       platform::fileSeek(file, 1);
       log.add("second", platform::fileGetByte(file));
       platform::fileSeek(file, 0xFFFFFFFFll);
       log.add("last", platform::fileGetByte(file));
       log.add("after", platform::fileGetByte(file));
       platform::fileClose(file);
     },
     "size=4294967296 atSize=-1 second=8 last=0 after=-1 "},
    {"the disk's faults",
     [](sim::Rig&, Log& log) {
       hostplatform::faults().writeLimit = 4;
       platform::File* file = platform::fileOpen("full", "wb+");
       log.add("write", long(platform::fileWrite(file, "0123456789", 10)));
       log.add("put", platform::filePutByte(file, 'x'));
       hostplatform::faults().readPieceLimit = 3;
       platform::fileSeek(file, 0);
       log.add("piece", long(readAll(file, 10).size()));
       hostplatform::faults().closeFails = true;
       log.add("close", platform::fileClose(file));
     },
     "write=4 put=-1 piece=3 close=-1 "},
    {"a loss that shows late, a read error for every read, a refused replace",
     [](sim::Rig& rig, Log& log) {
       rig.writeFile("a", std::string("xyz"));
       rig.writeFile("b", std::string("b"));
       hostplatform::faults().writeLimit = 2;
       hostplatform::faults().writeLossShowsLate = true;
       platform::File* file = platform::fileOpen("late", "wb");
       log.add("write", long(platform::fileWrite(file, "abcd", 4)));
       log.add("flush", platform::fileFlush(file));
       log.add("close", platform::fileClose(file));
       log.add("kept", long(rig.readFile("late").size()));
       hostplatform::faults().readFailsAt = 1;
       file = platform::fileOpen("a", "rb");
       log.add("first", platform::fileGetByte(file));
       log.add("second", platform::fileGetByte(file));
       platform::fileClose(file);
       hostplatform::faults().replaceFails = true;
       log.add("replace", platform::fileReplace("a", "b"));
       log.add("both", rig.fileExists("a") && rig.readFile("b").size() == 1);
     },
     "write=4 flush=-1 close=-1 kept=2 first=120 second=-1 replace=-1 both=1 "},
    {"rename replaces, remove removes, an open file stays readable",
     [](sim::Rig& rig, Log& log) {
       hostplatform::FileSystem& files = hostplatform::fileSystem();
       rig.writeFile("new", std::string("new"));
       rig.writeFile("old", std::string("old!"));
       platform::File* file = platform::fileOpen("old", "rb");
       log.add("rename", files.rename("new", "old"));
       log.add("newGone", !rig.fileExists("new"));
       log.add("size", long(rig.readFile("old").size()));
       log.add("stillOld", long(readAll(file, 10).size()));
       platform::fileClose(file);
       log.add("missing", files.rename("new", "x"));
       rig.makeDirectory("d");
       rig.writeFile("d/f", std::string("f"));
       log.add("fullDir", files.remove("d"));
       log.add("isDir", files.isDirectory("d"));
       log.add("fileIsDir", files.isDirectory("old"));
       log.add("remove", files.remove("old"));
       log.add("again", files.remove("old"));
       log.add("exists", rig.fileExists("old"));
     },
     "rename=0 newGone=1 size=3 stillOld=4 missing=-1 fullDir=-1 isDir=1 fileIsDir=0 remove=0 "
     "again=-1 "
     "exists=0 "},
};

TEST(FileSystems, MemorySeesWhatTheDiskSees) {
  for (const FileCase& c : kCases) {
    for (Files files : {Files::scratchDirectory, Files::inMemory}) {
      SCOPED_TRACE(std::string(c.name) + (files == Files::inMemory ? " (memory)" : " (disk)"));
      sim::Rig rig(files);
      Log log;
      c.run(rig, log);
      EXPECT_EQ(log.text, c.expected);
    }
  }
}

}  // namespace
