// How the update judges the BMC's answers to the requests that carry the
// image (the block description and every chunk).
#pragma once

#include <cstdint>

namespace flows {

// Device- and command-specific codes (0x01..0xBF) are the BMC's own
// business; a generic code (0xC0..0xFE) or a transport failure (0xFF) means
// the request was not taken.
inline bool endsUpload(uint8_t code) { return code >= 0xC0; }

// One upload request, sent again while the BMC answers "node busy" (it did
// not process it), a few times a short while apart. Returns the low byte of
// the last result.
uint8_t sendUploadRequest(uint8_t command, const uint8_t* data, int32_t dataLength,
                          uint8_t* response, int32_t* responseLength);

// "0xC0": a completion code as the IPMI tables write it.
void formatCompletionCode(uint8_t code, char (&text)[5]);

// Prints the error line for a request that ended the upload and notes the
// outcome: no answer (3) or refused (4).
void reportUploadFailure(const char* commandName, uint8_t code);

// The percentage of a progress reply, or -1 when it carries none.
inline int progressPercentage(uint8_t code, int32_t responseLength, const uint8_t* response) {
  return code == 0 && responseLength >= 1 ? response[0] : -1;
}

}  // namespace flows
