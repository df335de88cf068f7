#include "platform/engine/standard_codec.h"

#include <bit>
#include <cstring>
#include <limits>

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

template <typename T>
Result<Value> ReadTypedList(ByteReader& r) {
  size_t n = 0;
  if (!r.ReadSize(&n)) return Error(r, "truncated size");
  if (!r.ReadAlignment(sizeof(T))) return Error(r, "truncated padding");
  // Checked before allocating: the claimed size must fit in what is left.
  if (n > r.remaining() / sizeof(T)) return Error(r, "typed list longer than the message");
  std::vector<T> list(n);
  r.ReadBytes(list.data(), n * sizeof(T));
  return Value(std::move(list));
}

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
  auto payload = codec.ReadValue(r, depth + 1);
  if (!payload.ok()) return payload;
  return Value::Custom(type, std::move(payload).value());
}

const StandardCodec& StandardCodec::Instance() {
  static const StandardCodec codec;
  return codec;
}

StandardCodec::StandardCodec(std::shared_ptr<const ReaderWriter> rw)
    : rw_(rw ? std::move(rw) : std::make_shared<const ReaderWriter>()) {}

std::vector<uint8_t> StandardCodec::Encode(const Value& value) const {
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
  if (rw_->WriteValue(*this, w, value)) return;
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
  if (type >= 128 || type > kFloat32List) return rw_->ReadValueOfType(*this, type, r, depth);
  return ReadStandard(type, r, depth);
}

Result<Value> StandardCodec::ReadStandard(uint8_t type, ByteReader& r, int depth) const {
  switch (type) {
    case kNull:
      return Value();
    case kTrue:
      return Value(true);
    case kFalse:
      return Value(false);
    case kInt32: {
      int32_t v = 0;
      if (!r.ReadScalar(&v)) return Error(r, "truncated int32");
      return Value(int64_t{v});
    }
    case kInt64: {
      int64_t v = 0;
      if (!r.ReadScalar(&v)) return Error(r, "truncated int64");
      return Value(v);
    }
    case kFloat64: {
      double v = 0;
      if (!r.ReadAlignment(8) || !r.ReadScalar(&v)) return Error(r, "truncated float64");
      return Value(v);
    }
    case kLargeInt:  // an old encoding of big integers as hex text
    case kString: {
      size_t n = 0;
      const uint8_t* p = nullptr;
      if (!r.ReadSize(&n)) return Error(r, "truncated size");
      if (!r.View(n, &p)) return Error(r, "string longer than the message");
      return Value(std::string(reinterpret_cast<const char*>(p), n));
    }
    case kUint8List: {
      size_t n = 0;
      const uint8_t* p = nullptr;
      if (!r.ReadSize(&n)) return Error(r, "truncated size");
      if (!r.View(n, &p)) return Error(r, "byte list longer than the message");
      return Value(Value::Bytes(p, p + n));
    }
    case kInt32List:
      return ReadTypedList<int32_t>(r);
    case kInt64List:
      return ReadTypedList<int64_t>(r);
    case kFloat32List:
      return ReadTypedList<float>(r);
    case kFloat64List:
      return ReadTypedList<double>(r);
    case kList: {
      size_t n = 0;
      if (!r.ReadSize(&n)) return Error(r, "truncated size");
      if (n > r.remaining()) return Error(r, "list longer than the message");
      ValueList list;
      list.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        auto item = ReadValue(r, depth + 1);
        if (!item.ok()) return item;
        list.push_back(std::move(item).value());
      }
      return Value(std::move(list));
    }
    case kMap: {
      size_t n = 0;
      if (!r.ReadSize(&n)) return Error(r, "truncated size");
      if (n > r.remaining() / 2) return Error(r, "map longer than the message");
      ValueMap map;
      map.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        auto key = ReadValue(r, depth + 1);
        if (!key.ok()) return key;
        auto value = ReadValue(r, depth + 1);
        if (!value.ok()) return value;
        map.append(std::move(key).value(), std::move(value).value());
      }
      return Value(std::move(map));
    }
  }
  return Error(r, "unknown type byte " + std::to_string(type));
}

}  // namespace kelvo
