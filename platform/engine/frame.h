// Frames of the engine socket: how binary messages travel between the host
// and a user interface in another process.
//
// On the stream a frame is a 4-byte little-endian length N, then N bytes:
// the standard-codec encoding of the list [kind, id, channel, data], where
// kind is an int (0 message, 1 reply), id an int, channel a string and data
// bytes or null. A message is answered by exactly one reply with its id; a
// reply of null means "no handler on that channel". Replies repeat their
// message's channel to make traces readable; receivers match by id alone.
//
// FrameReader turns a byte stream into frames incrementally. It trusts
// nothing: the length is checked against kMaxFrameBody before any of the
// body is kept, the body is buffered only as it arrives (so memory stays a
// small multiple of the bytes fed), and the first malformed frame makes the
// reader fail for good, since the stream can no longer be trusted.
//
// Threading: plain values; a FrameReader is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/engine/binary_messenger.h"

namespace kelvo {

enum class FrameKind : int64_t {
  kMessage = 0,
  kReply = 1,
};

struct Frame {
  FrameKind kind = FrameKind::kMessage;
  int64_t id = 0;
  std::string channel;
  Payload data;

  bool operator==(const Frame&) const = default;
};

// Largest body a frame may declare (64 MiB); a longer one is an error.
inline constexpr size_t kMaxFrameBody = size_t{64} << 20;
inline constexpr size_t kFrameHeaderSize = 4;

// The whole frame, header included. A body over kMaxFrameBody is still
// encoded; the sender checks the size (see EncodedFrameFits).
std::vector<uint8_t> EncodeFrame(const Frame& frame);
// Appends the encoding to `out` (saves a copy on the write path).
void AppendFrame(const Frame& frame, std::vector<uint8_t>* out);
bool EncodedFrameFits(const std::vector<uint8_t>& encoded);

// Decodes a frame body (the N bytes after the length). On failure returns
// false and sets `*error` to a short description.
bool DecodeFrameBody(std::span<const uint8_t> body, Frame* frame, std::string* error);

class FrameReader {
 public:
  // Consumes `bytes`, appending every frame completed by them to `*frames`.
  // Returns false once the stream is malformed; error() then says why and
  // every later call fails without looking at its input.
  bool Feed(std::span<const uint8_t> bytes, std::vector<Frame>* frames);

  const std::string& error() const { return error_; }
  bool failed() const { return !error_.empty(); }
  // Bytes held for a frame not yet complete.
  size_t buffered() const { return buffer_.size(); }

 private:
  bool Fail(std::string error);

  std::vector<uint8_t> buffer_;
  std::string error_;
};

}  // namespace kelvo
