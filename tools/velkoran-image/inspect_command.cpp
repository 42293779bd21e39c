// velkoran-image inspect: the region list exactly as the update builds it,
// with the block descriptions it sends and warnings for a package author.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "image/image_table.h"
#include "image/region_list.h"
#include "platform/host/host.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tool_common.h"

namespace imagetool {
namespace {

constexpr uint64_t kMinimumRegionLength = 49;  // the first chunk of a region

struct TablePage {
  uint64_t offset;
  bool enciphered;
  bool read;           // the reader returned 1
  std::string message; // what the reader printed
};

struct Inspection {
  uint64_t fileSize = 0;
  uint8_t tablePages = 0;
  bool refused = false;
  std::vector<ImageRegion> regions;
  std::vector<std::array<uint8_t, kBlockDescriptionLength>> blocks;
  std::vector<TablePage> tables;
  std::vector<std::string> warnings;
};

size_t readPageAt(platform::File* file, uint64_t offset, uint8_t* page) {
  platform::fileSeek(file, static_cast<int64_t>(offset));
  size_t held = 0;
  while (held < kPageSize) {
    const size_t got = platform::fileRead(file, page + held, kPageSize - held);
    if (got == 0) break;
    held += got;
  }
  return held;
}

// The update's own scan, its console output kept out of ours.
void scanAsTheUpdate(platform::File* file, Inspection* inspection, std::vector<uint8_t>* page) {
  RegionList list;
  std::string console;
  hostplatform::captureConsole(&console);
  inspection->tablePages = buildRegionList(file, inspection->fileSize, page->data(), &list);
  hostplatform::captureConsole(nullptr);
  inspection->refused = list.refused;
  for (uint8_t i = 0; i < list.count; ++i) {
    inspection->regions.push_back(list.regions[i]);
    inspection->blocks.emplace_back();
    describeRegion(list, i, inspection->blocks.back().data());
  }
}

// Every page again, each read on its own, to tell where tables stand and
// which are malformed.
void surveyTables(platform::File* file, Inspection* inspection, std::vector<uint8_t>* page) {
  for (uint64_t offset = 0; offset < inspection->fileSize; offset += kPageSize) {
    const size_t held = readPageAt(file, offset, page->data());
    const char* text = reinterpret_cast<const char*>(page->data());
    const bool plain = text::find(text, text::lengthWithin(text, held), "[img]: ") != nullptr;
    std::string console;
    hostplatform::captureConsole(&console);
    RegionList list{};
    const bool read = find_respective_image_info(page->data(), held, &list) == 1;
    hostplatform::captureConsole(nullptr);
    if (read || !console.empty() || list.count > 0) {
      inspection->tables.push_back({offset, !plain, read, console});
    }
    if (inspection->fileSize - offset <= kPageSize) break;
  }
}

uint64_t regionEnd(const ImageRegion& r) {
  return r.length > UINT64_MAX - r.offset ? UINT64_MAX : r.offset + r.length;
}

void addWarnings(Inspection* in) {
  const std::vector<ImageRegion>& regions = in->regions;
  for (size_t i = 0; i < regions.size(); ++i) {
    const ImageRegion& r = regions[i];
    if (r.offset > in->fileSize || r.length > in->fileSize - r.offset) {
      in->warnings.push_back("region " + std::to_string(i) + " (offset " + hex(r.offset) + ", length " +
                             hex(r.length) + ") reaches past the end of the file (" + hex(in->fileSize) +
                             " bytes); the update sends 0xff for the missing bytes");
    }
    if (r.length < kMinimumRegionLength) {
      in->warnings.push_back("region " + std::to_string(i) + " is " + std::to_string(r.length) +
                             " bytes long, shorter than one 49-byte chunk");
    }
    for (size_t j = i + 1; j < regions.size(); ++j) {
      const ImageRegion& s = regions[j];
      const bool apart = r.length == 0 || s.length == 0 || regionEnd(r) <= s.offset ||
                         regionEnd(s) <= r.offset;
      if (!apart) in->warnings.push_back("regions " + std::to_string(i) + " and " + std::to_string(j) + " overlap");
    }
  }
  for (const TablePage& table : in->tables) {
    if (!table.read && !table.message.empty()) {
      in->warnings.push_back("malformed table in page " + hex(table.offset) + ": " +
                             table.message.substr(0, table.message.find('\n')));
    }
  }
  if (in->refused) {
    in->warnings.push_back("refused: the image tables would add more than 8 regions");
  } else if (in->tablePages == 0) {
    in->warnings.push_back("refused: no page holds a readable image table (update package type mismatch)");
  }
}

std::string blockText(const std::array<uint8_t, kBlockDescriptionLength>& block) {
  std::string text;
  for (uint8_t byte : block) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%s%02x", text.empty() ? "" : " ", byte);
    text += pair;
  }
  return text;
}

void printText(const std::string& path, const Inspection& in) {
  std::printf("Image %s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(in.fileSize));
  std::printf("Table pages: %u\n", in.tablePages);
  for (const TablePage& table : in.tables) {
    std::printf("  page %-10s %-10s %s\n", hex(table.offset).c_str(), table.enciphered ? "enciphered" : "plain",
                table.read ? "read" : "malformed");
  }
  std::printf("Regions: %zu\n", in.regions.size());
  if (!in.regions.empty()) {
    std::printf("  %-5s %-12s %-12s %-12s %s\n", "index", "offset", "blockLength", "length", "block description");
  }
  for (size_t i = 0; i < in.regions.size(); ++i) {
    const ImageRegion& r = in.regions[i];
    std::printf("  %-5zu %-12s %-12s %-12s %s\n", i, hex(r.offset).c_str(), hex(r.blockLength).c_str(),
                hex(r.length).c_str(), blockText(in.blocks[i]).c_str());
  }
  for (const std::string& warning : in.warnings) std::printf("warning: %s\n", warning.c_str());
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void printJson(const Inspection& in) {
  std::printf("{\"tablePages\": %u, \"regions\": [", in.tablePages);
  for (size_t i = 0; i < in.regions.size(); ++i) {
    const ImageRegion& r = in.regions[i];
    std::printf("%s{\"offset\": %llu, \"blockLength\": %llu, \"length\": %llu}", i ? ", " : "",
                static_cast<unsigned long long>(r.offset), static_cast<unsigned long long>(r.blockLength),
                static_cast<unsigned long long>(r.length));
  }
  std::printf("], \"fileSize\": %llu, \"refused\": %s, \"warnings\": [",
              static_cast<unsigned long long>(in.fileSize), in.tablePages == 0 ? "true" : "false");
  for (size_t i = 0; i < in.warnings.size(); ++i) {
    std::printf("%s%s", i ? ", " : "", jsonString(in.warnings[i]).c_str());
  }
  std::printf("]}\n");
}

// Opens the image as the update does and takes its size by seeking.
std::string openImage(const std::string& path, platform::File** file, uint64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "cannot open " + path + ": " + systemError();
  if (S_ISDIR(info.st_mode)) return path + " is a directory, not an image file";
  *file = platform::fileOpen(path.c_str(), "rb");
  if (*file == nullptr) return "cannot open " + path + ": " + systemError();
  const int64_t end = platform::fileSeekEnd(*file) == 0 ? platform::fileTell(*file) : -1;
  if (end < 0) {
    platform::fileClose(*file);
    return "cannot read the size of " + path;
  }
  *size = static_cast<uint64_t>(end);
  return "";
}

}  // namespace

int runInspect(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> paths;
  if (const std::string error = takeJsonAndPaths(args, "inspect", &json, &paths); !error.empty()) {
    return fail(error);
  }
  if (paths.size() != 1) return fail("inspect needs exactly one IMAGE (try --help)");

  platform::File* file = nullptr;
  Inspection inspection;
  const std::string error = openImage(paths[0], &file, &inspection.fileSize);
  if (!error.empty()) return fail(error);
  std::vector<uint8_t> page(kPageSize);
  scanAsTheUpdate(file, &inspection, &page);
  surveyTables(file, &inspection, &page);
  platform::fileClose(file);
  addWarnings(&inspection);
  if (json) {
    printJson(inspection);
  } else {
    printText(paths[0], inspection);
  }
  return inspection.tablePages > 0 ? kExitOk : kExitRefused;
}

}  // namespace imagetool
