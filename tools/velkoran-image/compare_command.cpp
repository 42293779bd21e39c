// velkoran-image compare: a dump against the image it should hold, region by
// region, with the verdicts the program's own --verify prints.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/image_compare.h"
#include "image/region_list.h"
#include "platform/host/host.h"
#include "platform/platform.h"
#include "tool_common.h"

namespace imagetool {
namespace {

struct Opened {
  platform::File* file = nullptr;
  uint64_t size = 0;
  ~Opened() {
    if (file != nullptr) platform::fileClose(file);
  }
};

std::string openForCompare(const std::string& path, Opened* opened) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return "cannot open " + path + ": " + systemError();
  if (S_ISDIR(info.st_mode)) return path + " is a directory";
  opened->file = platform::fileOpen(path.c_str(), "rb");
  if (opened->file == nullptr) return "cannot open " + path + ": " + systemError();
  if (!measureOpenFile(opened->file, &opened->size)) return "cannot read the size of " + path;
  return "";
}

// The region list as the update builds it, the reader's messages kept out.
std::vector<ImageRegion> regionsOf(Opened& image) {
  RegionList list;
  std::vector<uint8_t> page(kPageSize);
  std::string console;
  hostplatform::captureConsole(&console);
  const uint8_t tablePages = buildRegionList(image.file, image.size, page.data(), &list);
  hostplatform::captureConsole(nullptr);
  if (tablePages == 0) return {};
  return std::vector<ImageRegion>(list.regions, list.regions + list.count);
}

void printJson(const std::vector<RegionComparison>& verdicts, bool equal) {
  std::printf("{\"equal\": %s, \"regions\": [", equal ? "true" : "false");
  for (size_t i = 0; i < verdicts.size(); ++i) {
    const RegionComparison& v = verdicts[i];
    std::printf("%s{\"offset\": %llu, \"length\": %llu, \"differing\": %llu, \"firstDifference\": ",
                i ? ", " : "", static_cast<unsigned long long>(v.offset),
                static_cast<unsigned long long>(v.length),
                static_cast<unsigned long long>(v.differing));
    if (v.differing == 0) {
      std::printf("null}");
    } else {
      std::printf("%llu}", static_cast<unsigned long long>(v.firstDifference));
    }
  }
  std::printf("]}\n");
}

}  // namespace

int runCompare(const std::vector<std::string>& args) {
  bool json = false;
  std::vector<std::string> paths;
  if (const std::string error = takeJsonAndPaths(args, "compare", &json, &paths); !error.empty()) {
    return fail(error);
  }
  if (paths.size() != 2) return fail("compare needs an IMAGE and a DUMP (try --help)");
  Opened image;
  Opened dump;
  for (auto [path, opened] : {std::pair{paths[0], &image}, std::pair{paths[1], &dump}}) {
    const std::string error = openForCompare(path, opened);
    if (!error.empty()) return fail(error);
  }
  const std::vector<ImageRegion> regions = regionsOf(image);
  if (regions.empty()) return fail(paths[0] + " has no image table the update would take");
  std::vector<RegionComparison> verdicts(regions.size());
  bool equal = true;
  for (size_t i = 0; i < regions.size(); ++i) {
    if (!compareRegion(image.file, image.size, dump.file, dump.size, regions[i], &verdicts[i])) {
      return fail("reading " + paths[0] + " or " + paths[1] + " failed");
    }
    equal = equal && verdicts[i].differing == 0;
  }
  if (json) {
    printJson(verdicts, equal);
  } else {
    for (size_t i = 0; i < verdicts.size(); ++i) {
      char line[160];
      describeComparison(line, sizeof line, static_cast<unsigned>(i), verdicts[i]);
      std::fputs(line, stdout);
    }
  }
  return equal ? kExitOk : kExitRefused;
}

}  // namespace imagetool
