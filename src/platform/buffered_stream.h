// A buffered byte stream over positioned reads and writes. The UEFI file
// streams use it so that byte-wide callers (the image reader, the dump writer)
// do not cost one trip through the file system driver per byte; it is plain
// code so that the host tests can drive it over memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The storage under a stream.
struct StreamBackend {
  void* context;
  // Bytes read at position (0 at the end or on failure).
  size_t (*readAt)(void* context, uint64_t position, void* destination, size_t count);
  // Bytes written at position (short on failure).
  size_t (*writeAt)(void* context, uint64_t position, const void* source, size_t count);
  // The storage's size; false on failure.
  bool (*size)(void* context, uint64_t* size);
};

constexpr size_t kStreamBufferSize = 8192;

enum class BufferRole : uint8_t { empty, reading, writing };

struct BufferedStream {
  StreamBackend backend;
  uint64_t position;     // the stream's position, as tell reports it
  uint64_t bufferStart;  // storage offset of buffer[0]
  size_t bufferLength;   // bytes read ahead, or bytes waiting to be written
  BufferRole role;
  bool atEnd;
  bool writeFailed;
  uint8_t buffer[kStreamBufferSize];
};

// The operations behave as platform.h describes the file functions.
void streamInit(BufferedStream* stream, StreamBackend backend);
int streamSeek(BufferedStream* stream, int64_t position);
int streamSeekEnd(BufferedStream* stream);
int64_t streamTell(const BufferedStream* stream);
size_t streamRead(BufferedStream* stream, void* buffer, size_t count);
int streamGetByte(BufferedStream* stream);
bool streamReadToken(BufferedStream* stream, char* buffer, size_t capacity);
bool streamAtEnd(const BufferedStream* stream);
size_t streamWrite(BufferedStream* stream, const void* buffer, size_t count);
int streamPutByte(BufferedStream* stream, uint8_t byte);
// Writes out buffered data; false if any write of the stream failed.
bool streamFlush(BufferedStream* stream);

}  // namespace platform
