#include "platform/buffered_stream.h"

#include "platform/text.h"

namespace platform {
namespace {

size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

bool isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Writes count bytes at position; returns how many were written. A volume
// that fills up may refuse a write whole (FAT takes nothing of a write that
// needs a cluster it has not got), so a short write is tried again in ever
// smaller pieces to keep what fits.
size_t writeWhatFits(const StreamBackend& backend, uint64_t position, const uint8_t* source,
                     size_t count) {
  size_t done = 0;
  size_t piece = count;
  while (done < count && piece > 0) {
    const size_t wanted = smaller(piece, count - done);
    const size_t written = backend.writeAt(backend.context, position + done, source + done, wanted);
    done += written;
    if (written < wanted) piece = (wanted - written) / 2;
  }
  return done;
}

bool writeOut(BufferedStream* stream) {
  if (stream->role != BufferRole::writing) return true;
  size_t pending = stream->bufferLength;
  bool written =
      writeWhatFits(stream->backend, stream->bufferStart, stream->buffer, pending) == pending;
  stream->role = BufferRole::empty;
  stream->bufferLength = 0;
  if (!written) stream->writeFailed = true;
  return written;
}

// Bytes of the read-ahead buffer available at the stream position.
size_t bufferedAhead(const BufferedStream* stream) {
  if (stream->role != BufferRole::reading || stream->position < stream->bufferStart) return 0;
  uint64_t offset = stream->position - stream->bufferStart;
  return offset < stream->bufferLength ? stream->bufferLength - offset : 0;
}

const uint8_t* bufferAtPosition(const BufferedStream* stream) {
  return stream->buffer + (stream->position - stream->bufferStart);
}

bool refill(BufferedStream* stream) {
  const StreamBackend& backend = stream->backend;
  stream->bufferLength =
      backend.readAt(backend.context, stream->position, stream->buffer, kStreamBufferSize);
  stream->bufferStart = stream->position;
  stream->role = BufferRole::reading;
  return stream->bufferLength > 0;
}

bool appendable(const BufferedStream* stream) {
  return stream->role == BufferRole::writing &&
         stream->position == stream->bufferStart + stream->bufferLength &&
         stream->bufferLength < kStreamBufferSize;
}

}  // namespace

void streamInit(BufferedStream* stream, StreamBackend backend) {
  text::fill(stream, 0, sizeof(BufferedStream) - kStreamBufferSize);
  stream->backend = backend;
  stream->role = BufferRole::empty;
}

int streamSeek(BufferedStream* stream, int64_t position) {
  if (position < 0 || !writeOut(stream)) return -1;
  stream->position = static_cast<uint64_t>(position);
  stream->atEnd = false;
  return 0;
}

int streamSeekEnd(BufferedStream* stream) {
  uint64_t size = 0;
  if (!writeOut(stream) || !stream->backend.size(stream->backend.context, &size)) return -1;
  stream->position = size;
  stream->atEnd = false;
  return 0;
}

int64_t streamTell(const BufferedStream* stream) { return static_cast<int64_t>(stream->position); }

size_t streamRead(BufferedStream* stream, void* buffer, size_t count) {
  if (!writeOut(stream)) return 0;
  auto* destination = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    size_t ahead = bufferedAhead(stream);
    if (ahead > 0) {
      size_t take = smaller(ahead, count - done);
      text::copyBytes(destination + done, bufferAtPosition(stream), take);
      stream->position += take;
      done += take;
    } else if (count - done >= kStreamBufferSize) {
      // Large reads go straight into the caller's buffer.
      size_t wanted = count - done;
      const StreamBackend& backend = stream->backend;
      size_t got = backend.readAt(backend.context, stream->position, destination + done, wanted);
      stream->position += got;
      done += got;
      if (got < wanted) break;
    } else if (!refill(stream)) {
      break;
    }
  }
  if (done < count) stream->atEnd = true;
  return done;
}

int streamGetByte(BufferedStream* stream) {
  if (bufferedAhead(stream) > 0) {
    uint8_t byte = *bufferAtPosition(stream);
    stream->position += 1;
    return byte;
  }
  uint8_t byte;
  return streamRead(stream, &byte, 1) == 1 ? byte : -1;
}

bool streamReadToken(BufferedStream* stream, char* buffer, size_t capacity) {
  if (capacity == 0) return false;
  int c;
  do {
    c = streamGetByte(stream);
  } while (c != -1 && isSpace(c));
  if (c == -1) return false;
  size_t length = 0;
  while (c != -1 && !isSpace(c)) {
    if (length + 1 < capacity) buffer[length++] = static_cast<char>(c);
    c = streamGetByte(stream);
  }
  if (c != -1) stream->position -= 1;  // the delimiter stays unread, as with scanf
  buffer[length] = '\0';
  return true;
}

bool streamAtEnd(const BufferedStream* stream) { return stream->atEnd; }

size_t streamWrite(BufferedStream* stream, const void* buffer, size_t count) {
  if (stream->role == BufferRole::reading) {
    stream->role = BufferRole::empty;
    stream->bufferLength = 0;
  }
  const auto* source = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    if (appendable(stream)) {
      size_t take = smaller(kStreamBufferSize - stream->bufferLength, count - done);
      text::copyBytes(stream->buffer + stream->bufferLength, source + done, take);
      stream->bufferLength += take;
      stream->position += take;
      done += take;
      continue;
    }
    if (!writeOut(stream)) break;
    size_t remaining = count - done;
    if (remaining < kStreamBufferSize) {
      stream->role = BufferRole::writing;
      stream->bufferStart = stream->position;
      stream->bufferLength = 0;
      continue;
    }
    size_t written = writeWhatFits(stream->backend, stream->position, source + done, remaining);
    stream->position += written;
    done += written;
    if (written < remaining) {
      stream->writeFailed = true;
      break;
    }
  }
  return done;
}

int streamPutByte(BufferedStream* stream, uint8_t byte) {
  if (appendable(stream)) {
    stream->buffer[stream->bufferLength++] = byte;
    stream->position += 1;
    return 0;
  }
  return streamWrite(stream, &byte, 1) == 1 ? 0 : -1;
}

bool streamFlush(BufferedStream* stream) { return writeOut(stream) && !stream->writeFailed; }

}  // namespace platform
