#include "platform/engine/frame.h"

#include <cstring>
#include <limits>

#include "platform/engine/standard_codec.h"
#include "platform/engine/utf8.h"

namespace kelvo {

namespace {

// Standard codec type bytes used by a frame.
constexpr uint8_t kNullType = 0;
constexpr uint8_t kInt32Type = 3;
constexpr uint8_t kInt64Type = 4;
constexpr uint8_t kStringType = 7;
constexpr uint8_t kBytesType = 8;
constexpr uint8_t kListType = 12;

// A reader keeps at most this much spare capacity between frames, so one
// large frame does not pin its buffer for the life of the connection.
constexpr size_t kKeptCapacity = size_t{1} << 20;

void WriteInt(ByteWriter& w, int64_t v) {
  // As the standard codec does: int32 when the value fits.
  if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
    w.WriteByte(kInt32Type);
    w.WriteScalar(static_cast<int32_t>(v));
  } else {
    w.WriteByte(kInt64Type);
    w.WriteScalar(v);
  }
}

bool ReadInt(ByteReader& r, int64_t* v) {
  uint8_t type = 0;
  if (!r.ReadByte(&type)) return false;
  if (type == kInt32Type) {
    int32_t v32 = 0;
    if (!r.ReadScalar(&v32)) return false;
    *v = v32;
    return true;
  }
  return type == kInt64Type && r.ReadScalar(v);
}

uint32_t ReadHeader(const uint8_t* p) {
  uint32_t n = 0;
  std::memcpy(&n, p, sizeof n);  // little-endian host, as the codec assumes
  return n;
}

std::string TooLong(uint32_t n) {
  return "frame length " + std::to_string(n) + " exceeds the limit of " +
         std::to_string(kMaxFrameBody) + " bytes";
}

}  // namespace

void AppendFrame(const Frame& frame, std::vector<uint8_t>* out) {
  size_t start = out->size();
  out->resize(start + kFrameHeaderSize);
  // The body goes straight after the header. None of its types is padded,
  // so this gives the same bytes as encoding the list on its own.
  ByteWriter w(out);
  w.WriteByte(kListType);
  w.WriteSize(4);
  WriteInt(w, static_cast<int64_t>(frame.kind));
  WriteInt(w, frame.id);
  w.WriteByte(kStringType);
  w.WriteSize(frame.channel.size());
  w.WriteBytes(frame.channel.data(), frame.channel.size());
  if (frame.data) {
    w.WriteByte(kBytesType);
    w.WriteSize(frame.data->size());
    w.WriteBytes(frame.data->data(), frame.data->size());
  } else {
    w.WriteByte(kNullType);
  }
  size_t body = out->size() - start - kFrameHeaderSize;
  // Bodies past 4 GiB cannot be described; EncodedFrameFits rejects them.
  uint32_t n = body > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                           : static_cast<uint32_t>(body);
  std::memcpy(out->data() + start, &n, sizeof n);
}

std::vector<uint8_t> EncodeFrame(const Frame& frame) {
  std::vector<uint8_t> out;
  out.reserve(kFrameHeaderSize + 16 + frame.channel.size() + (frame.data ? frame.data->size() : 0));
  AppendFrame(frame, &out);
  return out;
}

bool EncodedFrameFits(const std::vector<uint8_t>& encoded) {
  return encoded.size() >= kFrameHeaderSize && encoded.size() - kFrameHeaderSize <= kMaxFrameBody;
}

bool DecodeFrameBody(std::span<const uint8_t> body, Frame* frame, std::string* error) {
  ByteReader r(body);
  uint8_t type = 0;
  size_t n = 0;
  if (!r.ReadByte(&type) || type != kListType) {
    *error = "frame is not a list";
    return false;
  }
  if (!r.ReadSize(&n)) {
    *error = "frame list is truncated";
    return false;
  }
  if (n != 4) {
    *error = "frame list has " + std::to_string(n) + " elements, expected 4";
    return false;
  }
  int64_t kind = 0;
  if (!ReadInt(r, &kind)) {
    *error = "frame kind is not an int";
    return false;
  }
  if (kind != static_cast<int64_t>(FrameKind::kMessage) &&
      kind != static_cast<int64_t>(FrameKind::kReply)) {
    *error = "unknown frame kind " + std::to_string(kind);
    return false;
  }
  int64_t id = 0;
  if (!ReadInt(r, &id)) {
    *error = "frame id is not an int";
    return false;
  }
  const uint8_t* p = nullptr;
  if (!r.ReadByte(&type) || type != kStringType || !r.ReadSize(&n) || !r.View(n, &p)) {
    *error = "frame channel is not a string";
    return false;
  }
  // Channel names are text like every other string that enters.
  if (!IsValidUtf8(std::span<const uint8_t>(p, n))) {
    *error = "frame channel is not UTF-8";
    return false;
  }
  std::string channel(reinterpret_cast<const char*>(p), n);
  Payload data;
  if (!r.ReadByte(&type)) {
    *error = "frame data is missing";
    return false;
  }
  if (type == kBytesType) {
    if (!r.ReadSize(&n) || !r.View(n, &p)) {
      *error = "frame data is truncated";
      return false;
    }
    data.emplace(p, p + n);
  } else if (type != kNullType) {
    *error = "frame data is neither bytes nor null";
    return false;
  }
  if (r.remaining() != 0) {
    *error = "trailing bytes after the frame list";
    return false;
  }
  frame->kind = static_cast<FrameKind>(kind);
  frame->id = id;
  frame->channel = std::move(channel);
  frame->data = std::move(data);
  return true;
}

bool FrameReader::Fail(std::string error) {
  error_ = std::move(error);
  buffer_ = {};
  return false;
}

bool FrameReader::Feed(std::span<const uint8_t> bytes, std::vector<Frame>* frames) {
  if (failed()) return false;
  size_t pos = 0;
  std::string error;
  while (true) {
    if (!buffer_.empty()) {
      // Finishing a frame that started in an earlier chunk.
      if (buffer_.size() < kFrameHeaderSize) {
        size_t take = std::min(kFrameHeaderSize - buffer_.size(), bytes.size() - pos);
        buffer_.insert(buffer_.end(), bytes.begin() + pos, bytes.begin() + pos + take);
        pos += take;
        if (buffer_.size() < kFrameHeaderSize) return true;
      }
      uint32_t n = ReadHeader(buffer_.data());
      if (n > kMaxFrameBody) return Fail(TooLong(n));
      size_t need = kFrameHeaderSize + n - buffer_.size();
      size_t take = std::min(need, bytes.size() - pos);
      // Grows with the bytes that came, never by the declared length.
      buffer_.insert(buffer_.end(), bytes.begin() + pos, bytes.begin() + pos + take);
      pos += take;
      if (take < need) return true;
      Frame frame;
      if (!DecodeFrameBody(std::span(buffer_).subspan(kFrameHeaderSize), &frame, &error)) {
        return Fail("malformed frame: " + error);
      }
      frames->push_back(std::move(frame));
      if (buffer_.capacity() > kKeptCapacity) {
        buffer_ = {};
      } else {
        buffer_.clear();
      }
      continue;
    }
    size_t left = bytes.size() - pos;
    if (left == 0) return true;
    if (left >= kFrameHeaderSize) {
      uint32_t n = ReadHeader(bytes.data() + pos);
      if (n > kMaxFrameBody) return Fail(TooLong(n));
      if (left - kFrameHeaderSize >= n) {
        // Whole frame in this chunk: decode in place.
        Frame frame;
        if (!DecodeFrameBody(bytes.subspan(pos + kFrameHeaderSize, n), &frame, &error)) {
          return Fail("malformed frame: " + error);
        }
        frames->push_back(std::move(frame));
        pos += kFrameHeaderSize + n;
        continue;
      }
    }
    buffer_.assign(bytes.begin() + pos, bytes.end());
    return true;
  }
}

}  // namespace kelvo
