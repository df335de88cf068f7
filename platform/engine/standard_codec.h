// The engine's standard message codec, byte for byte:
//   type bytes 0 null, 1 true, 2 false, 3 int32, 4 int64, 5 large int (read
//   as its hex string), 6 float64, 7 string, 8 bytes, 9 int32 list, 10 int64
//   list, 11 float64 list, 12 list, 13 map, 14 float32 list; sizes as one
//   byte (< 254), 254 + uint16 or 255 + uint32; doubles and typed lists are
//   zero-padded to their element size, counted from the message start;
//   everything little-endian.
//
// A service codec extends it with a ReaderWriter for its own tags 128..255.
// Codecs are immutable after construction and safe to share across threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/engine/value.h"

namespace kelvo {

// Error or value. Decoding untrusted bytes never throws or crashes; it gives
// a DecodeError describing the first problem found. Strings must be valid
// UTF-8, so no decoded text ever needs checking again.
struct DecodeError {
  std::string message;
  size_t offset = 0;
};

template <typename T>
class Result {
 public:
  Result(T value) : ok_(true), value_(std::move(value)) {}
  Result(DecodeError error) : ok_(false), error_(std::move(error)) {}
  bool ok() const { return ok_; }
  const T& value() const& { return value_; }
  T& value() & { return value_; }
  T&& value() && { return std::move(value_); }
  const DecodeError& error() const { return error_; }

 private:
  bool ok_;
  T value_{};
  DecodeError error_;
};

class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>* out) : out_(out) {}
  void WriteByte(uint8_t b) { out_->push_back(b); }
  void WriteBytes(const void* data, size_t n);
  void WriteSize(size_t n);
  void WriteAlignment(size_t alignment);
  template <typename T>
  void WriteScalar(T v) {  // host is little-endian (checked at build time)
    WriteBytes(&v, sizeof v);
  }
  size_t size() const { return out_->size(); }

 private:
  std::vector<uint8_t>* out_;
};

// Most memory the decoded form of one message may take: every value costs
// its node (sizeof(Value); a map entry two), text, bytes and typed lists
// also what they allocate, a custom value its shared payload. A frame of
// any shape thus decodes to at most this much, whatever it claims, while a
// single 64 MiB byte list still decodes.
inline constexpr size_t kMaxDecodedBytes = size_t{96} << 20;

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
  bool ReadByte(uint8_t* b);
  bool ReadBytes(void* dst, size_t n);
  bool ReadSize(size_t* n);
  bool ReadAlignment(size_t alignment);
  // Points at n bytes in place; false when fewer remain.
  bool View(size_t n, const uint8_t** p);
  template <typename T>
  bool ReadScalar(T* v) {
    return ReadBytes(v, sizeof *v);
  }
  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  // Takes `n` bytes from the message's decoding budget (kMaxDecodedBytes
  // for everything read through this reader); false, taking nothing, when
  // fewer are left.
  bool Spend(size_t n) {
    if (n > budget_left_) return false;
    budget_left_ -= n;
    return true;
  }
  size_t budget_left() const { return budget_left_; }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  size_t budget_left_ = kMaxDecodedBytes;
};

class StandardCodec;

// Hooks for a service's own types. Both run before the standard handling:
// WriteValue returns false to let the standard writer handle the value, and
// ReadValueOfType returns nullopt-like false for a tag it does not know.
class ReaderWriter {
 public:
  virtual ~ReaderWriter() = default;
  // Writes `value` if it is one of this codec's own types; returns whether it
  // did. Write nested values through codec.WriteValue.
  virtual bool WriteValue(const StandardCodec& codec, ByteWriter& w, const Value& value) const;
  // Reads the value that follows `type` (a tag >= 128 the standard codec does
  // not know). The default accepts every tag 128..255 and reads one nested
  // value as a CustomValue payload.
  virtual Result<Value> ReadValueOfType(const StandardCodec& codec, uint8_t type,
                                        ByteReader& r, int depth) const;
};

class StandardCodec {
 public:
  // Nesting deeper than this is rejected, so hostile input cannot exhaust
  // the stack.
  static constexpr int kMaxDepth = 64;

  // The process-wide plain codec.
  static const StandardCodec& Instance();

  explicit StandardCodec(std::shared_ptr<const ReaderWriter> rw = nullptr);

  std::vector<uint8_t> Encode(const Value& value) const;
  // Decodes one value that must use all of `data`.
  Result<Value> Decode(std::span<const uint8_t> data) const;

  // Building blocks for method codecs and service readers/writers.
  void WriteValue(ByteWriter& w, const Value& value) const;
  Result<Value> ReadValue(ByteReader& r, int depth = 0) const;

 private:
  Result<Value> ReadStandard(uint8_t type, ByteReader& r, int depth) const;

  std::shared_ptr<const ReaderWriter> rw_;
};

}  // namespace kelvo
