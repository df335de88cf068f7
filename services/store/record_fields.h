// Store records described once: each record's fields (name and member, in
// the order they travel), from which its list form, reading, equality,
// hash and description are generated.
//
// A record type declares its operations with KELVO_STORE_RECORD_OPERATIONS
// (see the message headers for their contracts). The .cc file that
// implements them describes the record once, at namespace kelvo scope and
// before any use, with its fields in wire order:
//   KELVO_STORE_RECORD_FIELDS(Storefront, RecordField("countryCode", &T::countryCode),
//                             RecordField("identifier", &T::identifier));
// which specialises RecordFields<Storefront> with kTag = kStorefrontTag,
// kName = "Storefront" and kList, the fields as a tuple. The same file
// supplies its generation's Rules: for every field type F,
//   static Value Write(const F&);                the codec value of a field
//   static bool Same(const F&, const F&);        field equality
//   static uint64_t Hash(const F&);              field hash
//   static std::string Text(const F&);           field text in a description
// plus `kSameObjectIsEqual` (a record compared with itself is equal without
// looking at its fields), `Lenient<T>(list)` (fromList) and
// `FromTagged<T>(value)` (FromValue). Reading goes through a reader of the
// generation with `void Read(size_t index, const char* name, F& out)`.
//
// Threading: compile-time descriptions and pure functions; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "platform/engine/value.h"

// The operations every store record has besides its fields.
#define KELVO_STORE_RECORD_OPERATIONS(T)                 \
  ValueList toList() const;                              \
  static T fromList(const ValueList& list);              \
  Value ToValue() const;                                 \
  static std::optional<T> FromValue(const Value& value); \
  bool operator==(const T& other) const;                 \
  uint64_t hash() const;                                 \
  std::string description() const

// Defines those operations from the record's field list and the Rules. The
// hash starts from FLTPigeonStringHash of the record's name (messages.h).
#define KELVO_STORE_RECORD_DEFINITIONS(Rules, T)                                                \
  ValueList T::toList() const { return ::kelvo::WriteFields<Rules>(*this); }                    \
  T T::fromList(const ValueList& list) { return Rules::template Lenient<T>(list); }             \
  Value T::ToValue() const {                                                                    \
    return Value::Custom(::kelvo::RecordFields<T>::kTag, Value(toList()));                      \
  }                                                                                             \
  std::optional<T> T::FromValue(const Value& value) {                                           \
    return Rules::template FromTagged<T>(value);                                                \
  }                                                                                             \
  bool T::operator==(const T& other) const { return ::kelvo::SameFields<Rules>(*this, other); } \
  uint64_t T::hash() const {                                                                    \
    return ::kelvo::HashFields<Rules>(*this,                                                    \
                                      FLTPigeonStringHash(::kelvo::RecordFields<T>::kName));    \
  }                                                                                             \
  std::string T::description() const { return ::kelvo::DescribeFields<Rules>(*this); }

// The one description of a record (see above).
#define KELVO_STORE_RECORD_FIELDS(Type, ...)                    \
  template <>                                                   \
  struct RecordFields<Type> {                                   \
    using T = Type;                                             \
    static constexpr uint8_t kTag = k##Type##Tag;               \
    static constexpr const char* kName = #Type;                 \
    static constexpr auto kList = std::make_tuple(__VA_ARGS__); \
  }

namespace kelvo {

// Specialised once per record (see above).
template <typename T>
struct RecordFields;

template <typename T, typename M>
struct RecordFieldOf {
  const char* name;
  M T::*member;
};

template <typename T, typename M>
constexpr RecordFieldOf<T, M> RecordField(const char* name, M T::*member) {
  return {name, member};
}

template <typename T>
constexpr size_t RecordFieldCount() {
  return std::tuple_size_v<decltype(RecordFields<T>::kList)>;
}

// Calls visit(field) for each field of T in order.
template <typename T, typename Visit>
void ForEachField(Visit&& visit) {
  std::apply([&](const auto&... field) { (visit(field), ...); }, RecordFields<T>::kList);
}

template <typename Rules, typename T>
ValueList WriteFields(const T& record) {
  ValueList out;
  out.reserve(RecordFieldCount<T>());
  ForEachField<T>([&](const auto& field) { out.push_back(Rules::Write(record.*field.member)); });
  return out;
}

// read.template operator()<R>() for the record R among Records whose tag is
// `tag`, so a codec's reader lists its records once; nullopt when none has.
template <typename... Records, typename Read>
auto ForRecordOfTag(uint8_t tag, const Read& read) {
  using First = std::tuple_element_t<0, std::tuple<Records...>>;
  std::optional<decltype(read.template operator()<First>())> out;
  (void)((RecordFields<Records>::kTag == tag &&
          (out.emplace(read.template operator()<Records>()), true)) ||
         ...);
  return out;
}

// Reads the fields in order, so a strict reader reports the first bad one.
template <typename T, typename Reader>
T ReadFields(Reader& reader) {
  T record;
  size_t index = 0;
  ForEachField<T>(
      [&](const auto& field) { reader.Read(index++, field.name, record.*field.member); });
  return record;
}

// Stops at the first difference.
template <typename Rules, typename T>
bool SameFields(const T& a, const T& b) {
  if constexpr (Rules::kSameObjectIsEqual) {
    if (&a == &b) return true;
  }
  bool same = true;
  ForEachField<T>(
      [&](const auto& field) { same = same && Rules::Same(a.*field.member, b.*field.member); });
  return same;
}

// h = seed, then h = h * 31 + field hash for each field (wrapping).
template <typename Rules, typename T>
uint64_t HashFields(const T& record, uint64_t seed) {
  uint64_t h = seed;
  ForEachField<T>([&](const auto& field) { h = h * 31 + Rules::Hash(record.*field.member); });
  return h;
}

// "Name(field: text, ...)".
template <typename Rules, typename T>
std::string DescribeFields(const T& record) {
  std::string out = std::string(RecordFields<T>::kName) + "(";
  const char* separator = "";
  ForEachField<T>([&](const auto& field) {
    out += separator;
    out += field.name;
    out += ": ";
    out += Rules::Text(record.*field.member);
    separator = ", ";
  });
  return out + ")";
}

// What reading a field list takes in both generations: elements by index
// (a short list reads its missing tail as null) and the first problem
// written to the error sink when there is one; without one (lenient
// reading) problems are not recorded. Each generation's reader derives
// from it and adds one Read per field type.
class FieldListReader {
 protected:
  FieldListReader(const ValueList& list, const char* type, std::string* error)
      : list_(list), type_(type), error_(error) {}

  bool strict() const { return error_ != nullptr; }
  std::string* error() const { return error_; }

  const Value& At(size_t i) const {
    static const Value kNull;
    return i < list_.size() ? list_[i] : kNull;
  }

  // A null element is absent, not an error.
  void Expect(const Value& v, const char* field, const std::string& expected) {
    if (!v.is_null()) Fail(field, expected);
  }

  void Fail(const char* field, const std::string& expected) {
    if (error_ != nullptr && error_->empty()) {
      *error_ = std::string(type_) + "." + field + ": expected " + expected;
    }
  }

  // The element when it has the type, else nullopt (a problem unless null).
  std::optional<std::string> OptString(size_t i, const char* field) {
    const Value& v = At(i);
    if (const auto* s = v.get_if<std::string>()) return *s;
    Expect(v, field, "a string");
    return std::nullopt;
  }
  std::optional<int64_t> OptInt(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_int()) return v.as_int();
    Expect(v, field, "an integer");
    return std::nullopt;
  }
  // An integer reads as the same number.
  std::optional<double> OptNumber(size_t i, const char* field, const char* expected) {
    const Value& v = At(i);
    if (v.is_double()) return v.as_double();
    if (v.is_int()) return static_cast<double>(v.as_int());
    Expect(v, field, expected);
    return std::nullopt;
  }
  std::optional<ValueMap> OptMap(size_t i, const char* field) {
    const Value& v = At(i);
    if (const auto* map = v.get_if<ValueMap>()) return *map;
    Expect(v, field, "a map");
    return std::nullopt;
  }

 private:
  const ValueList& list_;
  const char* type_;
  std::string* error_;
};

}  // namespace kelvo
