#include "platform/engine/value.h"

#include <cmath>
#include <cstring>
#include <ostream>
#include <sstream>

namespace kelvo {

ValueMap::ValueMap(std::initializer_list<Entry> entries) : entries_(entries) {}

const Value* ValueMap::find(const Value& key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) return &v;
  }
  return nullptr;
}

const Value* ValueMap::find(std::string_view string_key) const {
  for (const auto& [k, v] : entries_) {
    if (const auto* s = k.get_if<std::string>(); s != nullptr && *s == string_key) return &v;
  }
  return nullptr;
}

void ValueMap::set(Value key, Value value) {
  for (auto& [k, v] : entries_) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

bool ValueMap::erase(const Value& key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

void ValueMap::append(Value key, Value value) {
  entries_.emplace_back(std::move(key), std::move(value));
}

bool ValueMap::operator==(const ValueMap& other) const { return entries_ == other.entries_; }

bool CustomValue::operator==(const CustomValue& other) const {
  if (tag != other.tag) return false;
  if (payload == other.payload) return true;
  if (!payload || !other.payload) return false;
  return *payload == *other.payload;
}

Value Value::Custom(uint8_t tag, Value payload) {
  return Value(CustomValue{tag, std::make_shared<const Value>(std::move(payload))});
}

const Value* Value::find(std::string_view key) const {
  const auto* m = get_if<ValueMap>();
  return m ? m->find(key) : nullptr;
}

namespace {

// Same bits, or both NaN: what a codec round trip preserves.
template <typename F>
bool SameFloat(F a, F b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

template <typename F>
bool SameFloats(const std::vector<F>& a, const std::vector<F>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameFloat(a[i], b[i])) return false;
  }
  return true;
}

}  // namespace

bool Value::operator==(const Value& other) const {
  if (v_.index() != other.v_.index()) return false;
  switch (type()) {
    case Type::kDouble:
      return SameFloat(as_double(), other.as_double());
    case Type::kFloat32List:
      return SameFloats(as_float32_list(), other.as_float32_list());
    case Type::kFloat64List:
      return SameFloats(as_float64_list(), other.as_float64_list());
    default:
      return v_ == other.v_;
  }
}

namespace {

template <typename L>
void PrintNumbers(std::ostream& os, const char* name, const L& list) {
  os << name << "[";
  for (size_t i = 0; i < list.size(); ++i) os << (i ? ", " : "") << list[i];
  os << "]";
}

}  // namespace

std::string Value::DebugString() const {
  std::ostringstream os;
  switch (type()) {
    case Type::kNull: os << "null"; break;
    case Type::kBool: os << (as_bool() ? "true" : "false"); break;
    case Type::kInt: os << as_int(); break;
    case Type::kDouble: {
      os << as_double();
      if (std::isfinite(as_double()) && std::floor(as_double()) == as_double()) os << ".0";
      break;
    }
    case Type::kString: os << '"' << as_string() << '"'; break;
    case Type::kBytes: os << "bytes(" << as_bytes().size() << ")"; break;
    case Type::kInt32List: PrintNumbers(os, "int32", as_int32_list()); break;
    case Type::kInt64List: PrintNumbers(os, "int64", as_int64_list()); break;
    case Type::kFloat32List: PrintNumbers(os, "float32", as_float32_list()); break;
    case Type::kFloat64List: PrintNumbers(os, "float64", as_float64_list()); break;
    case Type::kList: {
      os << "[";
      const auto& l = as_list();
      for (size_t i = 0; i < l.size(); ++i) os << (i ? ", " : "") << l[i].DebugString();
      os << "]";
      break;
    }
    case Type::kMap: {
      os << "{";
      bool first = true;
      for (const auto& [k, v] : as_map()) {
        os << (first ? "" : ", ") << k.DebugString() << ": " << v.DebugString();
        first = false;
      }
      os << "}";
      break;
    }
    case Type::kCustom:
      os << "custom<" << int(as_custom().tag) << ">(" << as_custom().payload->DebugString() << ")";
      break;
  }
  return os.str();
}

std::ostream& operator<<(std::ostream& os, const Value& v) { return os << v.DebugString(); }

}  // namespace kelvo
