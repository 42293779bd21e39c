// The image table reader: plain or enciphered tables inside one 32 KiB page.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/image_region.h"

// page points at pageLength valid bytes; only the first 32 KiB of them are
// read. Returns 1 when a table was found and all its entries appended to
// `list`, 0 otherwise.
int find_respective_image_info(const uint8_t* page, size_t pageLength, RegionList* list);
