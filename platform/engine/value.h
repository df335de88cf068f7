// Value: everything that crosses an engine channel or is stored as a
// preference. It mirrors the engine's standard codec types one to one, so a
// decode followed by an encode gives back the same bytes.
//
// Contract:
// - One integer kind (int64). The codec writes int32 when the value fits.
// - Integer and double are different values: Value(3) != Value(3.0).
// - Maps keep their entries in wire order; keys are any values. Lookup is a
//   linear scan returning the first equal key (maps on channels are small).
// - Custom values carry a service codec's type tag (128..255) and the value
//   that follows the tag on the wire (usually the record's field list).
// Values are plain data: copyable, comparable, safe to move between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kelvo {

class Value;
struct ValueDecoder;  // the standard codec's reader: builds values in place

using ValueList = std::vector<Value>;

// An ordered list of key/value entries.
class ValueMap {
 public:
  using Entry = std::pair<Value, Value>;

  ValueMap() = default;
  ValueMap(std::initializer_list<Entry> entries);

  // First entry whose key equals `key`, or nullptr.
  const Value* find(const Value& key) const;
  const Value* find(std::string_view string_key) const;
  const Value* find(const char* string_key) const { return find(std::string_view(string_key)); }
  // Replaces the value of an existing key, else appends.
  void set(Value key, Value value);
  bool erase(const Value& key);

  void append(Value key, Value value);  // no duplicate check (decoder use)
  // Defined below, where Value is complete.
  void reserve(size_t n);
  size_t size() const;
  bool empty() const;
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;
  const std::vector<Entry>& entries() const { return entries_; }

  bool operator==(const ValueMap& other) const;

 private:
  friend struct ValueDecoder;
  std::vector<Entry> entries_;
};

// A service codec's own type: its tag and the value written after the tag.
struct CustomValue {
  uint8_t tag = 128;
  std::shared_ptr<const Value> payload;  // never null once built

  bool operator==(const CustomValue& other) const;
};

class Value {
 public:
  enum class Type : uint8_t {
    kNull,
    kBool,
    kInt,
    kDouble,
    kString,
    kBytes,
    kInt32List,
    kInt64List,
    kFloat32List,
    kFloat64List,
    kList,
    kMap,
    kCustom,
  };

  using Bytes = std::vector<uint8_t>;
  using Int32List = std::vector<int32_t>;
  using Int64List = std::vector<int64_t>;
  using Float32List = std::vector<float>;
  using Float64List = std::vector<double>;

  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(int64_t{i}) {}
  Value(int64_t i) : v_(i) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Bytes b) : v_(std::move(b)) {}
  Value(Int32List l) : v_(std::move(l)) {}
  Value(Int64List l) : v_(std::move(l)) {}
  Value(Float32List l) : v_(std::move(l)) {}
  Value(Float64List l) : v_(std::move(l)) {}
  Value(ValueList l) : v_(std::move(l)) {}
  Value(ValueMap m) : v_(std::move(m)) {}
  Value(CustomValue c) : v_(std::move(c)) {}
  // Not implicit from other pointers: a stray pointer must not become a bool.
  template <typename T>
  Value(T*) = delete;

  static Value Custom(uint8_t tag, Value payload);

  Type type() const { return static_cast<Type>(v_.index()); }
  bool is_null() const { return type() == Type::kNull; }
  bool is_bool() const { return type() == Type::kBool; }
  bool is_int() const { return type() == Type::kInt; }
  bool is_double() const { return type() == Type::kDouble; }
  bool is_string() const { return type() == Type::kString; }
  bool is_bytes() const { return type() == Type::kBytes; }
  bool is_list() const { return type() == Type::kList; }
  bool is_map() const { return type() == Type::kMap; }
  bool is_custom() const { return type() == Type::kCustom; }

  // Accessors; calling one for the wrong type is a programming error
  // (std::bad_variant_access). Use the get_if forms for untrusted input.
  bool as_bool() const { return std::get<bool>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  const Bytes& as_bytes() const { return std::get<Bytes>(v_); }
  const Int32List& as_int32_list() const { return std::get<Int32List>(v_); }
  const Int64List& as_int64_list() const { return std::get<Int64List>(v_); }
  const Float32List& as_float32_list() const { return std::get<Float32List>(v_); }
  const Float64List& as_float64_list() const { return std::get<Float64List>(v_); }
  const ValueList& as_list() const { return std::get<ValueList>(v_); }
  ValueList& as_list() { return std::get<ValueList>(v_); }
  const ValueMap& as_map() const { return std::get<ValueMap>(v_); }
  ValueMap& as_map() { return std::get<ValueMap>(v_); }
  const CustomValue& as_custom() const { return std::get<CustomValue>(v_); }

  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&v_);
  }

  // Map lookup by string key; nullptr when this is not a map or has no key.
  const Value* find(std::string_view key) const;

  // Doubles compare bitwise-equal values as equal and NaN equal to NaN, so
  // a decoded value always equals the value that was encoded.
  bool operator==(const Value& other) const;

  // Short human-readable rendering for logs and test failures.
  std::string DebugString() const;

 private:
  friend struct ValueDecoder;
  std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, Int32List,
               Int64List, Float32List, Float64List, ValueList, ValueMap, CustomValue>
      v_;
};

std::ostream& operator<<(std::ostream& os, const Value& v);

inline void ValueMap::reserve(size_t n) { entries_.reserve(n); }
inline size_t ValueMap::size() const { return entries_.size(); }
inline bool ValueMap::empty() const { return entries_.empty(); }
inline std::vector<ValueMap::Entry>::const_iterator ValueMap::begin() const {
  return entries_.begin();
}
inline std::vector<ValueMap::Entry>::const_iterator ValueMap::end() const {
  return entries_.end();
}

}  // namespace kelvo
