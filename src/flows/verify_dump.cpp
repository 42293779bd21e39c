#include "flows/verify_dump.h"

#include "image/image_compare.h"
#include "image/region_list.h"
#include "platform/platform.h"
#include "state/tool_context.h"

namespace {

struct OpenFiles {
  platform::File* image = nullptr;
  platform::File* dump = nullptr;
  uint64_t imageSize = 0;
  uint64_t dumpSize = 0;
  uint8_t* page = nullptr;

  void close() {
    if (image != nullptr) platform::fileClose(image);
    if (dump != nullptr) platform::fileClose(dump);
    platform::release(page);
  }
};

bool fail(OpenFiles& files, RunOutcome outcome, const char* message, const char* name) {
  platform::print(message, name);
  files.close();
  noteOutcome(outcome);
  return false;
}

bool openBoth(OpenFiles& files, const char* imageName, const char* dumpName) {
  files.image = platform::fileOpen(imageName, "rb");
  if (files.image == nullptr || !measureOpenFile(files.image, &files.imageSize)) {
    return fail(files, RunOutcome::kFileProblem, "ERROR: CANNOT READ THE IMAGE FILE %s\n\n",
                imageName);
  }
  files.dump = platform::fileOpen(dumpName, "rb");
  if (files.dump == nullptr || !measureOpenFile(files.dump, &files.dumpSize)) {
    return fail(files, RunOutcome::kFileProblem, "ERROR: CANNOT READ THE DUMP FILE %s\n\n",
                dumpName);
  }
  files.page = static_cast<uint8_t*>(platform::allocate(kPageSize));
  if (files.page == nullptr) {
    return fail(files, RunOutcome::kNoMemory, "ERROR: NO MEMORY TO VERIFY %s\n\n", dumpName);
  }
  return true;
}

}  // namespace

void verifyDump(const char* imageName, const char* dumpName) {
  OpenFiles files;
  if (!openBoth(files, imageName, dumpName)) return;
  platform::print("Verify %s against %s\n", dumpName, imageName);
  RegionList regions;
  if (buildRegionList(files.image, files.imageSize, files.page, &regions) == 0) {
    fail(files, RunOutcome::kFileProblem, "ERROR: NO IMAGE TABLE IN %s\n\n", imageName);
    return;
  }
  bool different = false;
  for (uint8_t i = 0; i < regions.count; ++i) {
    RegionComparison comparison;
    if (!compareRegion(files.image, files.imageSize, files.dump, files.dumpSize,
                       regions.regions[i], &comparison)) {
      fail(files, RunOutcome::kFileProblem, "ERROR: READING %s OR THE IMAGE FAILED\n\n",
           dumpName);
      return;
    }
    char line[160];
    describeComparison(line, sizeof line, i, comparison);
    platform::print("%s", line);
    different = different || comparison.differing != 0;
  }
  files.close();
  if (different) noteOutcome(RunOutcome::kDifferent);
}
