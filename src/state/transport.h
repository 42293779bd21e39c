// A way to the BMC as an object (TransportOps): the methods of its kind, its
// own state (self) and the message sizes it carries. Run control opens it
// once, every request of the run goes through transfer(), and run control
// closes it once.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest name a transport gives the BMC it reaches (nameBmc).
constexpr size_t kBmcNameCapacity = 300;

struct TransportMethods {
  // 0 when the BMC can be reached; -1 after the reason; 1 (only for a
  // way that a machine may lack) when this way is not there at all.
  int (*open)(void* self);
  // One request and its reply: the completion code (0..255) or -1. The
  // reply's data goes to response, never more than responseCapacity bytes,
  // while *responseLength still counts every data byte the BMC sent.
  int (*exchange)(void* self, uint8_t netFnLun, uint8_t command, const uint8_t* data,
                  int32_t dataLength, uint8_t* response, int32_t responseCapacity,
                  int32_t* responseLength);
  int (*close)(void* self);
  // The BMC this way reaches, as a short text that is the same for every
  // run that reaches it (the one-run lock keys on it): 0; -1 when it cannot
  // be told (open then says why); 1 as open's 1.
  int (*nameBmc)(void* self, char* name, size_t capacity);
};

struct TransportOps {
  const TransportMethods* methods;
  void* self;
  int32_t maxRequestData;   // data bytes after the command
  int32_t maxResponseData;  // data bytes after the completion code

  int open() const { return methods->open(self); }
  int transfer(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t dataLength,
               uint8_t* response, int32_t responseCapacity, int32_t* responseLength) const {
    return methods->exchange(self, netFnLun, command, data, dataLength, response, responseCapacity,
                         responseLength);
  }
  int close() const { return methods->close(self); }
  int nameBmc(char* name, size_t capacity) const {
    return methods->nameBmc != nullptr ? methods->nameBmc(self, name, capacity) : -1;
  }
};
