// A hostile BMC and a failing disk for the firmware update and the flash
// dump. The input picks the mode, the disk's faults, the image or the flash,
// and then every reply the BMC gives while input lasts; once it is used up
// the BMC gives the answers that end the run. Checked:
// - every run ends within a bounded number of exchanges;
// - the update sends each region as the image holds it (0xFF past the end of
//   the file), in 49-byte chunks, after a block description that matches
//   the region list;
// - a dump that ends without an error line leaves a file made of whole
//   replies, in order, none taken twice; and when the BMC serves its flash
//   faithfully (it may lose replies, never alter them) that file is the
//   flash exactly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flowfuzz {

// One run of the update or the dump for one input; aborts when a check fails.
int runOne(const uint8_t* data, size_t size);

}  // namespace flowfuzz
