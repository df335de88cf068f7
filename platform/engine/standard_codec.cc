#include "platform/engine/standard_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "platform/engine/utf8.h"

namespace kelvo {

static_assert(std::endian::native == std::endian::little,
              "the wire format is little-endian and is copied as is");

namespace {

enum WireType : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,
  kFloat64 = 6,
  kString = 7,
  kUint8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

constexpr const char* kOverBudget = "message decodes to too much memory";

// What a string or vector of `n` bytes allocates besides its node: nothing
// for short strings (kept inline), else the data and the allocator's
// overhead.
size_t HeapCost(size_t n) { return n <= 15 ? 0 : n + 16; }

DecodeError Error(const ByteReader& r, std::string message) {
  return DecodeError{std::move(message), r.position()};
}

template <typename T>
void WriteTypedList(ByteWriter& w, uint8_t type, const std::vector<T>& list) {
  w.WriteByte(type);
  w.WriteSize(list.size());
  w.WriteAlignment(sizeof(T));
  w.WriteBytes(list.data(), list.size() * sizeof(T));
}

// The codec made without a ReaderWriter shares this one, so that it can be
// told apart from a service's writer with a pointer comparison and skip the
// hook on every value it writes. Never destroyed: codecs may still be used
// while static objects are torn down.
const std::shared_ptr<const ReaderWriter>& PlainReaderWriter() {
  static const auto* plain = new std::shared_ptr<const ReaderWriter>(
      std::make_shared<const ReaderWriter>());
  return *plain;
}

// The plain codec's writer: values go straight into the output through a
// cursor, with one room check per value instead of a call per byte. Each
// value's head is written through a local copy of the cursor, so that the
// byte stores do not force it back to memory. Room is made by growing the
// vector (zero-filled, which already gives the alignment padding); the
// unused tail is cut at the end.
class PlainEncoder {
 public:
  static std::vector<uint8_t> Encode(const Value& value) {
    PlainEncoder e;
    e.Write(value);
    e.out_.resize(static_cast<size_t>(e.p_ - e.base_));
    return std::move(e.out_);
  }

 private:
  // The most one value writes besides its string or list data: type byte,
  // a 5-byte size and 7 bytes of padding, or a type byte, 7 bytes of
  // padding and a double.
  static constexpr size_t kHeadRoom = 16;

  // Makes room for n bytes at the cursor; returns the cursor.
  uint8_t* Room(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) Grow(n);
    return p_;
  }
  void Grow(size_t n) {
    const size_t pos = static_cast<size_t>(p_ - base_);
    out_.resize(std::max({out_.size() * 2, pos + n, size_t{64}}));
    base_ = out_.data();
    p_ = base_ + pos;
    end_ = base_ + out_.size();
  }

  static uint8_t* PutBytes(uint8_t* p, const void* data, size_t n) {
    if (n != 0) std::memcpy(p, data, n);
    return p + n;
  }
  template <typename T>
  static uint8_t* PutScalar(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
  }
  static uint8_t* PutSize(uint8_t* p, size_t n) {
    if (n < 254) {
      *p = static_cast<uint8_t>(n);
      return p + 1;
    }
    if (n <= 0xffff) {
      *p = 254;
      return PutScalar(p + 1, static_cast<uint16_t>(n));
    }
    *p = 255;
    return PutScalar(p + 1, static_cast<uint32_t>(n));
  }
  // Padding to a multiple of `alignment` from the message start.
  uint8_t* Align(uint8_t* p, size_t alignment) const {
    size_t mod = static_cast<size_t>(p - base_) % alignment;
    return mod == 0 ? p : p + (alignment - mod);  // already zero
  }
  // Type byte and size, then `n` bytes of data aligned to `alignment`.
  void Block(uint8_t type, const void* data, size_t size, size_t n, size_t alignment) {
    uint8_t* p = Room(kHeadRoom + n);
    *p++ = type;
    p = PutSize(p, size);
    if (alignment > 1) p = Align(p, alignment);
    p_ = PutBytes(p, data, n);
  }
  template <typename T>
  void TypedList(uint8_t type, const std::vector<T>& list) {
    Block(type, list.data(), list.size(), list.size() * sizeof(T), sizeof(T));
  }

  void Write(const Value& value) {
    using T = Value::Type;
    switch (value.type()) {
      case T::kNull:
        *Room(1) = kNull;
        ++p_;
        return;
      case T::kBool:
        *Room(1) = *value.get_if<bool>() ? kTrue : kFalse;
        ++p_;
        return;
      case T::kInt: {
        uint8_t* p = Room(kHeadRoom);
        int64_t i = *value.get_if<int64_t>();
        if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max()) {
          *p = kInt32;
          p_ = PutScalar(p + 1, static_cast<int32_t>(i));
        } else {
          *p = kInt64;
          p_ = PutScalar(p + 1, i);
        }
        return;
      }
      case T::kDouble: {
        uint8_t* p = Room(kHeadRoom);
        *p = kFloat64;
        p_ = PutScalar(Align(p + 1, 8), *value.get_if<double>());
        return;
      }
      case T::kString: {
        const auto& s = *value.get_if<std::string>();
        Block(kString, s.data(), s.size(), s.size(), 1);
        return;
      }
      case T::kBytes: {
        const auto& b = *value.get_if<Value::Bytes>();
        Block(kUint8List, b.data(), b.size(), b.size(), 1);
        return;
      }
      case T::kInt32List:
        TypedList(kInt32List, *value.get_if<Value::Int32List>());
        return;
      case T::kInt64List:
        TypedList(kInt64List, *value.get_if<Value::Int64List>());
        return;
      case T::kFloat32List:
        TypedList(kFloat32List, *value.get_if<Value::Float32List>());
        return;
      case T::kFloat64List:
        TypedList(kFloat64List, *value.get_if<Value::Float64List>());
        return;
      case T::kList: {
        const auto& list = *value.get_if<ValueList>();
        uint8_t* p = Room(kHeadRoom);
        *p = kList;
        p_ = PutSize(p + 1, list.size());
        for (const auto& item : list) Write(item);
        return;
      }
      case T::kMap: {
        const auto& map = *value.get_if<ValueMap>();
        uint8_t* p = Room(kHeadRoom);
        *p = kMap;
        p_ = PutSize(p + 1, map.size());
        for (const auto& [k, v] : map) {
          Write(k);
          Write(v);
        }
        return;
      }
      case T::kCustom: {  // as the plain ReaderWriter writes it
        const auto& custom = *value.get_if<CustomValue>();
        *Room(1) = custom.tag;
        ++p_;
        Write(*custom.payload);
        return;
      }
    }
  }

  std::vector<uint8_t> out_;
  uint8_t* base_ = nullptr;
  uint8_t* p_ = nullptr;
  uint8_t* end_ = nullptr;
};

}  // namespace

void ByteWriter::WriteBytes(const void* data, size_t n) {
  if (n == 0) return;
  const auto* p = static_cast<const uint8_t*>(data);
  out_->insert(out_->end(), p, p + n);
}

void ByteWriter::WriteSize(size_t n) {
  if (n < 254) {
    WriteByte(static_cast<uint8_t>(n));
  } else if (n <= 0xffff) {
    WriteByte(254);
    WriteScalar(static_cast<uint16_t>(n));
  } else {
    WriteByte(255);
    WriteScalar(static_cast<uint32_t>(n));
  }
}

void ByteWriter::WriteAlignment(size_t alignment) {
  size_t mod = out_->size() % alignment;
  if (mod != 0) out_->insert(out_->end(), alignment - mod, 0);
}

bool ByteReader::ReadByte(uint8_t* b) {
  if (pos_ >= data_.size()) return false;
  *b = data_[pos_++];
  return true;
}

bool ByteReader::ReadBytes(void* dst, size_t n) {
  if (n > remaining()) return false;
  if (n != 0) std::memcpy(dst, data_.data() + pos_, n);
  pos_ += n;
  return true;
}

bool ByteReader::View(size_t n, const uint8_t** p) {
  if (n > remaining()) return false;
  *p = data_.data() + pos_;
  pos_ += n;
  return true;
}

bool ByteReader::ReadSize(size_t* n) {
  uint8_t b = 0;
  if (!ReadByte(&b)) return false;
  if (b < 254) {
    *n = b;
    return true;
  }
  if (b == 254) {
    uint16_t v = 0;
    if (!ReadScalar(&v)) return false;
    *n = v;
    return true;
  }
  uint32_t v = 0;
  if (!ReadScalar(&v)) return false;
  *n = v;
  return true;
}

bool ByteReader::ReadAlignment(size_t alignment) {
  size_t mod = pos_ % alignment;
  if (mod == 0) return true;
  size_t pad = alignment - mod;
  if (pad > remaining()) return false;
  pos_ += pad;
  return true;
}

// Reads standard values straight into their place in the tree being built:
// no Result or temporary Value per item, and no moves of strings. Type tags
// it does not know go to the codec's ReaderWriter, as ReadValue promises.
struct ValueDecoder {
  const StandardCodec& codec;
  const ReaderWriter& rw;
  DecodeError error;

  bool Fail(const ByteReader& r, std::string message) {
    error = Error(r, std::move(message));
    return false;
  }

  bool Read(ByteReader& r, int depth, Value& out) {
    if (depth > StandardCodec::kMaxDepth) return Fail(r, "values nested too deeply");
    uint8_t type = 0;
    if (!r.ReadByte(&type)) return Fail(r, "truncated: expected a type byte");
    if (!r.Spend(sizeof(Value))) return Fail(r, kOverBudget);
    return ReadOfType(type, r, depth, out);
  }

  bool ReadOfType(uint8_t type, ByteReader& r, int depth, Value& out) {
    switch (type) {
      case kNull:
        out.v_.emplace<std::monostate>();
        return true;
      case kTrue:
        out.v_.emplace<bool>(true);
        return true;
      case kFalse:
        out.v_.emplace<bool>(false);
        return true;
      case kInt32: {
        int32_t v = 0;
        if (!r.ReadScalar(&v)) return Fail(r, "truncated int32");
        out.v_.emplace<int64_t>(v);
        return true;
      }
      case kInt64: {
        int64_t v = 0;
        if (!r.ReadScalar(&v)) return Fail(r, "truncated int64");
        out.v_.emplace<int64_t>(v);
        return true;
      }
      case kFloat64: {
        double v = 0;
        if (!r.ReadAlignment(8) || !r.ReadScalar(&v)) return Fail(r, "truncated float64");
        out.v_.emplace<double>(v);
        return true;
      }
      case kLargeInt:  // an old encoding of big integers as hex text
      case kString: {
        size_t n = 0;
        const uint8_t* p = nullptr;
        if (!r.ReadSize(&n)) return Fail(r, "truncated size");
        if (!r.View(n, &p)) return Fail(r, "string longer than the message");
        if (!IsValidUtf8(std::span<const uint8_t>(p, n))) return Fail(r, "string is not UTF-8");
        if (!r.Spend(HeapCost(n))) return Fail(r, kOverBudget);
        // Made empty and then filled: variant::emplace with a throwing
        // constructor builds a whole temporary variant and moves that.
        out.v_.emplace<std::string>().assign(reinterpret_cast<const char*>(p), n);
        return true;
      }
      case kUint8List: {
        size_t n = 0;
        const uint8_t* p = nullptr;
        if (!r.ReadSize(&n)) return Fail(r, "truncated size");
        if (!r.View(n, &p)) return Fail(r, "byte list longer than the message");
        if (!r.Spend(HeapCost(n))) return Fail(r, kOverBudget);
        out.v_.emplace<Value::Bytes>().assign(p, p + n);
        return true;
      }
      case kInt32List:
        return ReadTypedList<int32_t>(r, out);
      case kInt64List:
        return ReadTypedList<int64_t>(r, out);
      case kFloat32List:
        return ReadTypedList<float>(r, out);
      case kFloat64List:
        return ReadTypedList<double>(r, out);
      case kList: {
        size_t n = 0;
        if (!r.ReadSize(&n)) return Fail(r, "truncated size");
        if (n > r.remaining()) return Fail(r, "list longer than the message");
        // Each element costs at least its node: refused before reserving.
        if (n > r.budget_left() / sizeof(Value)) return Fail(r, kOverBudget);
        auto& list = out.v_.emplace<ValueList>();
        list.reserve(n);
        for (size_t i = 0; i < n; ++i) {
          // Reserved above, so the slot stays put while it is filled.
          if (!Read(r, depth + 1, list.emplace_back())) return false;
        }
        return true;
      }
      case kMap: {
        size_t n = 0;
        if (!r.ReadSize(&n)) return Fail(r, "truncated size");
        if (n > r.remaining() / 2) return Fail(r, "map longer than the message");
        if (n > r.budget_left() / (2 * sizeof(Value))) return Fail(r, kOverBudget);
        auto& entries = out.v_.emplace<ValueMap>().entries_;
        entries.reserve(n);
        for (size_t i = 0; i < n; ++i) {
          auto& entry = entries.emplace_back();
          if (!Read(r, depth + 1, entry.first) || !Read(r, depth + 1, entry.second)) return false;
        }
        return true;
      }
      default: {  // above kFloat32List
        auto custom = rw.ReadValueOfType(codec, type, r, depth);
        if (!custom.ok()) {
          error = custom.error();
          return false;
        }
        out = std::move(custom).value();
        return true;
      }
    }
  }

  template <typename T>
  bool ReadTypedList(ByteReader& r, Value& out) {
    size_t n = 0;
    if (!r.ReadSize(&n)) return Fail(r, "truncated size");
    if (!r.ReadAlignment(sizeof(T))) return Fail(r, "truncated padding");
    // Checked before allocating: the claimed size must fit in what is left.
    if (n > r.remaining() / sizeof(T)) return Fail(r, "typed list longer than the message");
    if (!r.Spend(HeapCost(n * sizeof(T)))) return Fail(r, kOverBudget);
    auto& list = out.v_.emplace<std::vector<T>>();
    list.resize(n);
    r.ReadBytes(list.data(), n * sizeof(T));
    return true;
  }
};

bool ReaderWriter::WriteValue(const StandardCodec& codec, ByteWriter& w, const Value& value) const {
  const auto* custom = value.get_if<CustomValue>();
  if (custom == nullptr) return false;
  w.WriteByte(custom->tag);
  codec.WriteValue(w, *custom->payload);
  return true;
}

Result<Value> ReaderWriter::ReadValueOfType(const StandardCodec& codec, uint8_t type,
                                            ByteReader& r, int depth) const {
  if (type < 128) return Error(r, "unknown type byte " + std::to_string(type));
  // The payload is shared: one more node and its control block.
  if (!r.Spend(sizeof(Value) + 32)) return Error(r, kOverBudget);
  auto payload = codec.ReadValue(r, depth + 1);
  if (!payload.ok()) return payload;
  return Value::Custom(type, std::move(payload).value());
}

const StandardCodec& StandardCodec::Instance() {
  static const StandardCodec codec;
  return codec;
}

StandardCodec::StandardCodec(std::shared_ptr<const ReaderWriter> rw)
    : rw_(rw ? std::move(rw) : PlainReaderWriter()) {}

std::vector<uint8_t> StandardCodec::Encode(const Value& value) const {
  if (rw_ == PlainReaderWriter()) return PlainEncoder::Encode(value);
  // A service's writer may write anything; the buffer grows as needed.
  std::vector<uint8_t> out;
  ByteWriter w(&out);
  WriteValue(w, value);
  return out;
}

Result<Value> StandardCodec::Decode(std::span<const uint8_t> data) const {
  ByteReader r(data);
  auto value = ReadValue(r);
  if (value.ok() && r.remaining() != 0) return Error(r, "trailing bytes after the value");
  return value;
}

void StandardCodec::WriteValue(ByteWriter& w, const Value& value) const {
  // The plain writer only handles custom values, which the switch below
  // writes the same way.
  if (rw_ != PlainReaderWriter() && rw_->WriteValue(*this, w, value)) return;
  using T = Value::Type;
  switch (value.type()) {
    case T::kNull:
      w.WriteByte(kNull);
      break;
    case T::kBool:
      w.WriteByte(value.as_bool() ? kTrue : kFalse);
      break;
    case T::kInt: {
      int64_t i = value.as_int();
      if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max()) {
        w.WriteByte(kInt32);
        w.WriteScalar(static_cast<int32_t>(i));
      } else {
        w.WriteByte(kInt64);
        w.WriteScalar(i);
      }
      break;
    }
    case T::kDouble:
      w.WriteByte(kFloat64);
      w.WriteAlignment(8);
      w.WriteScalar(value.as_double());
      break;
    case T::kString: {
      const auto& s = value.as_string();
      w.WriteByte(kString);
      w.WriteSize(s.size());
      w.WriteBytes(s.data(), s.size());
      break;
    }
    case T::kBytes: {
      const auto& b = value.as_bytes();
      w.WriteByte(kUint8List);
      w.WriteSize(b.size());
      w.WriteBytes(b.data(), b.size());
      break;
    }
    case T::kInt32List:
      WriteTypedList(w, kInt32List, value.as_int32_list());
      break;
    case T::kInt64List:
      WriteTypedList(w, kInt64List, value.as_int64_list());
      break;
    case T::kFloat32List:
      WriteTypedList(w, kFloat32List, value.as_float32_list());
      break;
    case T::kFloat64List:
      WriteTypedList(w, kFloat64List, value.as_float64_list());
      break;
    case T::kList:
      w.WriteByte(kList);
      w.WriteSize(value.as_list().size());
      for (const auto& item : value.as_list()) WriteValue(w, item);
      break;
    case T::kMap:
      w.WriteByte(kMap);
      w.WriteSize(value.as_map().size());
      for (const auto& [k, v] : value.as_map()) {
        WriteValue(w, k);
        WriteValue(w, v);
      }
      break;
    case T::kCustom:
      // Only reached with a ReaderWriter that declined its own type: write
      // it the default way so nothing is silently lost.
      ReaderWriter().WriteValue(*this, w, value);
      break;
  }
}

Result<Value> StandardCodec::ReadValue(ByteReader& r, int depth) const {
  if (depth > kMaxDepth) return Error(r, "values nested too deeply");
  uint8_t type = 0;
  if (!r.ReadByte(&type)) return Error(r, "truncated: expected a type byte");
  if (!r.Spend(sizeof(Value))) return Error(r, kOverBudget);
  if (type >= 128 || type > kFloat32List) return rw_->ReadValueOfType(*this, type, r, depth);
  return ReadStandard(type, r, depth);
}

// The whole tree below a standard value is read in place; only its root
// goes through a Result.
Result<Value> StandardCodec::ReadStandard(uint8_t type, ByteReader& r, int depth) const {
  ValueDecoder decoder{*this, *rw_, {}};
  Value out;
  if (!decoder.ReadOfType(type, r, depth, out)) return std::move(decoder.error);
  return out;
}

}  // namespace kelvo
