// velkoran-image: makes firmware images of kind 2 and shows how the update
// will read them.
#include <cstdio>
#include <string>
#include <vector>

#include "image/aes.h"
#include "tool_common.h"

namespace imagetool {
namespace {

constexpr const char kHelp[] =
    "Usage:\n"
    "  velkoran-image build -o OUT [OPTIONS] PART...\n"
    "  velkoran-image inspect [--json] IMAGE\n"
    "  velkoran-image compare [--json] IMAGE DUMP\n"
    "  velkoran-image --help\n"
    "\n"
    "build: writes an image of kind 2 from part files and an image table.\n"
    "  PART               FILE@OFFSET[:NAME[:VALUE]]: FILE's bytes at OFFSET of the\n"
    "                     image, listed in the table as NAME (default: FILE's base\n"
    "                     name) with VALUE as the third, unused field (default 0).\n"
    "                     The size listed is FILE's size; a NAME beginning with\n"
    "                     out_webfs_img.bin is listed 22 bytes short, since the\n"
    "                     reader adds 22 to it.\n"
    "  -o, --output OUT   the image file to write (required).\n"
    "  --encipher         write the table enciphered in the first 192 bytes of its\n"
    "                     page (AES-128-CBC), instead of as plain text.\n"
    "  --table-offset N   put a table in the page at N, a multiple of 0x8000;\n"
    "                     repeat for more table pages. Default: the first page\n"
    "                     after the last part.\n"
    "  --table-text FILE  write FILE's text as the table, as it is, instead of the\n"
    "                     table made from the parts (for hand-made or broken tables).\n"
    "  --no-table         write no table (an image the update refuses).\n"
    "  --size N           make the image N bytes long (default: just long enough).\n"
    "  --fill BYTE        value of the bytes that no part covers (default 0xff).\n"
    "  Numbers are decimal or hexadecimal with 0x. Example, a 40 KiB image:\n"
    "    velkoran-image build -o small.bin boot.bin@0 rootfs.bin@0x4000:rootfs.bin\n"
    "\n"
    "inspect: reads IMAGE with the update's own page scan and table reader and\n"
    "  prints the table pages, the region list and, for each region, the 14-byte\n"
    "  block description the update sends (offset, blockLength, length as\n"
    "  big-endian low 32 bits, index, count), then warnings: a region past the\n"
    "  end of the file, a region shorter than 49 bytes, overlapping regions,\n"
    "  malformed tables and the reason an image is refused.\n"
    "  --json             print {\"tablePages\": T, \"regions\": [{\"offset\": N,\n"
    "                     \"blockLength\": N, \"length\": N}, ...], ...} instead.\n"
    "\n"
    "compare: compares a flash dump with IMAGE region by region, over the\n"
    "  region list the update builds from IMAGE and only the bytes IMAGE holds\n"
    "  (a region reaching past its end is compared as far as it goes); bytes the\n"
    "  dump lacks count as different. One line per region, as Velkoran.efi\n"
    "  --verify prints it: equal, or how many bytes differ and the first offset.\n"
    "  --json             print {\"equal\": B, \"regions\": [{\"offset\": N,\n"
    "                     \"length\": N, \"differing\": N, \"firstDifference\": N|null},\n"
    "                     ...]} instead.\n"
    "\n"
    "Exit status: 0 built, the update accepts the image, or compare found the\n"
    "dump equal; 1 the update refuses the image, or compare found differences;\n"
    "2 bad arguments or a file that cannot be read or written (or, for compare,\n"
    "an image without a table).\n";

std::string bytesInHex(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

}  // namespace

void printHelp() {
  uint8_t key[aes::kKeySize], iv[aes::kBlockSize];
  imageTableKey(key);
  imageTableIv(iv);
  std::fputs(kHelp, stdout);
  std::printf(
      "\nEnciphered tables use AES-128 in CBC mode without padding, under the fixed\n"
      "  key %s\n  IV  %s\n",
      bytesInHex(key, sizeof key).c_str(), bytesInHex(iv, sizeof iv).c_str());
}

}  // namespace imagetool

int main(int argc, char** argv) {
  using namespace imagetool;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    fail("no command given (try --help)");
    return kExitFailure;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  int status = kExitOk;
  if (command == "--help" || command == "-h" || command == "help") {
    printHelp();
  } else if (command == "build") {
    status = runBuild(args);
  } else if (command == "inspect") {
    status = runInspect(args);
  } else if (command == "compare") {
    status = runCompare(args);
  } else {
    return fail("unknown command '" + command + "' (try --help)");
  }
  // A verdict that could not be written out is no verdict.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    return fail("cannot write the output: " + systemError());
  }
  return status;
}
