// A hostile BMC and a failing disk for the firmware update and the flash dump
// (see flow_fuzzing.h).
#include <cstddef>
#include <cstdint>

#include "flow_fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return flowfuzz::runOne(data, size);
}
