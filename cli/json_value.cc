#include "cli/json_value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/encoding/base64.h"


namespace kelvo {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kNaN = "NaN";
constexpr const char* kInfinity = "Infinity";
constexpr const char* kMinusInfinity = "-Infinity";

// ---- Reading ----

// The DOM parser, with one change: an integer literal too large for 64 bits
// is refused instead of becoming a double behind the writer's back.
class StrictSax {
 public:
  explicit StrictSax(Json* root) : dom_(*root, false) {}
  const std::string& error() const { return error_; }

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(Json::number_integer_t v) { return dom_.number_integer(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return dom_.number_unsigned(v); }
  bool number_float(Json::number_float_t v, const std::string& lexeme) {
    if (lexeme.find_first_of(".eE") == std::string::npos) {
      error_ = "the integer " + lexeme +
               " does not fit in 64 bits (write it with a fraction, e.g. " + lexeme +
               ".0, to send a double)";
      return false;
    }
    return dom_.number_float(v, lexeme);
  }
  bool string(std::string& v) { return dom_.string(v); }
  bool binary(Json::binary_t& v) { return dom_.binary(v); }
  bool start_object(std::size_t n) { return dom_.start_object(n); }
  bool key(std::string& v) { return dom_.key(v); }
  bool end_object() { return dom_.end_object(); }
  bool start_array(std::size_t n) { return dom_.start_array(n); }
  bool end_array() { return dom_.end_array(); }
  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& ex) {
    std::string what = ex.what();
    // Drop the library's "[json.exception.parse_error.101] " prefix.
    if (auto end = what.find("] "); !what.empty() && what[0] == '[' && end != std::string::npos) {
      what = what.substr(end + 2);
    }
    error_ = what;
    return dom_.parse_error(position, token, ex);
  }

 private:
  nlohmann::detail::json_sax_dom_parser<Json> dom_;
  std::string error_;
};

std::string PathText(const std::string& path) { return path.empty() ? "/" : path; }

std::string EscapePointerToken(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
  return out;
}

class Reader {
 public:
  bool Read(const Json& j, const std::string& path, int depth, Value* out) {
    if (depth > StandardCodec::kMaxDepth) {
      return Fail(path,
                  "nested deeper than " + std::to_string(StandardCodec::kMaxDepth) + " levels");
    }
    switch (j.type()) {
      case Json::value_t::null:
        *out = Value();
        return true;
      case Json::value_t::boolean:
        *out = Value(j.get<bool>());
        return true;
      case Json::value_t::number_integer:
        *out = Value(j.get<int64_t>());
        return true;
      case Json::value_t::number_unsigned:
        return ReadUnsigned(j, path, out);
      case Json::value_t::number_float:
        *out = Value(j.get<double>());
        return true;
      case Json::value_t::string:
        *out = Value(j.get<std::string>());
        return true;
      case Json::value_t::array: {
        ValueList list;
        list.reserve(j.size());
        for (size_t i = 0; i < j.size(); ++i) {
          Value item;
          if (!Read(j[i], path + "/" + std::to_string(i), depth + 1, &item)) return false;
          list.push_back(std::move(item));
        }
        *out = Value(std::move(list));
        return true;
      }
      case Json::value_t::object:
        return ReadObject(j, path, depth, out);
      default:
        return Fail(path, "unsupported JSON value");
    }
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& path, const std::string& what) {
    error_ = "at " + PathText(path) + ": " + what;
    return false;
  }

  bool ReadUnsigned(const Json& j, const std::string& path, Value* out) {
    auto u = j.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return Fail(path,
                  "the integer " + std::to_string(u) + " does not fit in a signed 64-bit integer");
    }
    *out = Value(static_cast<int64_t>(u));
    return true;
  }

  bool ReadObject(const Json& j, const std::string& path, int depth, Value* out) {
    std::string tag;
    for (const auto& [key, unused] : j.items()) {
      if (!key.empty() && key[0] == '$') {
        tag = key;
        break;
      }
    }
    if (tag.empty()) {
      ValueMap map;
      map.reserve(j.size());
      for (const auto& [key, item] : j.items()) {
        Value v;
        if (!Read(item, path + "/" + EscapePointerToken(key), depth + 1, &v)) return false;
        map.append(Value(key), std::move(v));
      }
      *out = Value(std::move(map));
      return true;
    }
    if (tag == "$custom") return ReadCustom(j, path, depth, out);
    if (j.size() != 1) {
      return Fail(path, "the form \"" + tag +
                            "\" takes no other keys (write a map with keys starting with \"$\" "
                            "as {\"$map\": [[key, value], ...]})");
    }
    const Json& body = j.begin().value();
    std::string at = path + "/" + EscapePointerToken(tag);
    if (tag == "$bytes") return ReadBytes(body, at, out);
    if (tag == "$double") return ReadDouble(body, at, out);
    if (tag == "$int32") return ReadIntList<int32_t>(body, at, out);
    if (tag == "$int64") return ReadIntList<int64_t>(body, at, out);
    if (tag == "$float32") return ReadFloatList<float>(body, at, out);
    if (tag == "$float64") return ReadFloatList<double>(body, at, out);
    if (tag == "$map") return ReadMap(body, at, depth, out);
    return Fail(path, "unknown form \"" + tag +
                          "\" (known: $bytes $double $int32 $int64 $float32 $float64 $map "
                          "$custom; write a map with such keys as {\"$map\": [[key, value], "
                          "...]})");
  }

  bool ReadBytes(const Json& body, const std::string& path, Value* out) {
    if (!body.is_string()) return Fail(path, "\"$bytes\" takes a base64 string");
    auto bytes = Base64Decode(body.get_ref<const std::string&>());
    if (!bytes) return Fail(path, "not valid base64 (standard alphabet, with padding)");
    *out = Value(std::move(*bytes));
    return true;
  }

  // A number, or one of the names of the values JSON has no literal for.
  bool ReadNumber(const Json& j, const std::string& path, double* out) {
    if (j.is_number()) {
      *out = j.get<double>();
      return true;
    }
    if (j.is_string()) {
      const auto& s = j.get_ref<const std::string&>();
      if (s == kNaN) {
        *out = std::numeric_limits<double>::quiet_NaN();
        return true;
      }
      if (s == kInfinity || s == kMinusInfinity) {
        *out = (s == kInfinity ? 1 : -1) * std::numeric_limits<double>::infinity();
        return true;
      }
    }
    return Fail(path, "expected a number or \"NaN\", \"Infinity\", \"-Infinity\"");
  }

  bool ReadDouble(const Json& body, const std::string& path, Value* out) {
    double d = 0;
    if (!ReadNumber(body, path, &d)) return false;
    *out = Value(d);
    return true;
  }

  template <typename T>
  bool ReadIntList(const Json& body, const std::string& path, Value* out) {
    if (!body.is_array()) return Fail(path, "expected an array of integers");
    std::vector<T> list;
    list.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
      const Json& e = body[i];
      std::string at = path + "/" + std::to_string(i);
      bool fits = false;
      int64_t v = 0;
      if (e.is_number_integer() && !e.is_number_unsigned()) {
        v = e.get<int64_t>();
        fits = true;
      } else if (e.is_number_unsigned()) {
        auto u = e.get<uint64_t>();
        fits = u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        v = static_cast<int64_t>(u);
      } else {
        return Fail(at, "expected an integer");
      }
      if (!fits || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
        return Fail(at, std::string("out of range for ") +
                            (sizeof(T) == 4 ? "a 32-bit" : "a 64-bit") + " integer");
      }
      list.push_back(static_cast<T>(v));
    }
    *out = Value(std::move(list));
    return true;
  }

  template <typename T>
  bool ReadFloatList(const Json& body, const std::string& path, Value* out) {
    if (!body.is_array()) return Fail(path, "expected an array of numbers");
    std::vector<T> list;
    list.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
      std::string at = path + "/" + std::to_string(i);
      double d = 0;
      if (!ReadNumber(body[i], at, &d)) return false;
      if constexpr (sizeof(T) == 4) {
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
          return Fail(at, "out of range for a 32-bit float");
        }
      }
      list.push_back(static_cast<T>(d));
    }
    *out = Value(std::move(list));
    return true;
  }

  bool ReadMap(const Json& body, const std::string& path, int depth, Value* out) {
    if (!body.is_array()) return Fail(path, "expected an array of [key, value] pairs");
    ValueMap map;
    map.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
      std::string at = path + "/" + std::to_string(i);
      const Json& pair = body[i];
      if (!pair.is_array() || pair.size() != 2) return Fail(at, "expected a [key, value] pair");
      Value key;
      Value value;
      if (!Read(pair[0], at + "/0", depth + 1, &key)) return false;
      if (!Read(pair[1], at + "/1", depth + 1, &value)) return false;
      map.append(std::move(key), std::move(value));
    }
    *out = Value(std::move(map));
    return true;
  }

  bool ReadCustom(const Json& j, const std::string& path, int depth, Value* out) {
    const Json& tag = j["$custom"];
    if (j.size() != 2 || !j.contains("value")) {
      return Fail(path, "\"$custom\" takes exactly the keys \"$custom\" and \"value\"");
    }
    std::string at = path + "/$custom";
    if (!tag.is_number_integer()) return Fail(at, "expected a type tag from 128 to 255");
    bool in_range =
        tag.is_number_unsigned() ? tag.get<uint64_t>() >= 128 && tag.get<uint64_t>() <= 255 : false;
    if (!in_range) return Fail(at, "expected a type tag from 128 to 255");
    Value payload;
    if (!Read(j["value"], path + "/value", depth + 1, &payload)) return false;
    *out = Value::Custom(static_cast<uint8_t>(tag.get<uint64_t>()), std::move(payload));
    return true;
  }

  std::string error_;
};

// ---- Writing ----

void AppendString(const std::string& s, std::string* out) {
  *out += Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The shortest text that reads back as the same number, always with a
// fraction or an exponent so that it reads back as a double.
template <typename T>
std::string ShortestText(T v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

void AppendDouble(double d, std::string* out) { *out += ShortestText(d); }

void AppendFloat(float f, std::string* out) {
  // Lists are read as doubles and then narrowed. For a few floats the
  // shortest float text narrows to a neighbour after that double rounding
  // (7.038531e-26 is one); those are written with the double's digits.
  std::string s = ShortestText(f);
  double back = 0;
  std::from_chars(s.data(), s.data() + s.size(), back);
  if (static_cast<float>(back) == f) {
    *out += s;
  } else {
    *out += ShortestText(static_cast<double>(f));
  }
}

template <typename T>
void AppendListNumber(T v, std::string* out) {
  if (std::isnan(v)) {
    AppendString(kNaN, out);
  } else if (std::isinf(v)) {
    AppendString(v > 0 ? kInfinity : kMinusInfinity, out);
  } else if constexpr (sizeof(T) == 4) {
    AppendFloat(v, out);
  } else {
    AppendDouble(v, out);
  }
}

template <typename List, typename Each>
void AppendTagged(const char* tag, const List& list, Each each, std::string* out) {
  *out += "{\"";
  *out += tag;
  *out += "\":[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) *out += ',';
    each(list[i]);
  }
  *out += "]}";
}

// Plain JSON objects only for maps that read back the same.
bool PlainObject(const ValueMap& map) {
  std::vector<const std::string*> keys;
  for (const auto& [key, unused] : map) {
    const auto* s = key.get_if<std::string>();
    if (s == nullptr || (!s->empty() && (*s)[0] == '$')) return false;
    keys.push_back(s);
  }
  std::sort(keys.begin(), keys.end(), [](auto* a, auto* b) { return *a < *b; });
  return std::adjacent_find(keys.begin(), keys.end(), [](auto* a, auto* b) { return *a == *b; }) ==
         keys.end();
}

void Write(const Value& v, std::string* out) {
  switch (v.type()) {
    case Value::Type::kNull:
      *out += "null";
      return;
    case Value::Type::kBool:
      *out += v.as_bool() ? "true" : "false";
      return;
    case Value::Type::kInt:
      *out += std::to_string(v.as_int());
      return;
    case Value::Type::kDouble:
      if (std::isfinite(v.as_double())) {
        AppendDouble(v.as_double(), out);
      } else {
        *out += "{\"$double\":";
        AppendListNumber(v.as_double(), out);
        *out += '}';
      }
      return;
    case Value::Type::kString:
      AppendString(v.as_string(), out);
      return;
    case Value::Type::kBytes:
      *out += "{\"$bytes\":\"" + Base64Encode(v.as_bytes()) + "\"}";
      return;
    case Value::Type::kInt32List:
      AppendTagged(
          "$int32", v.as_int32_list(), [out](int32_t i) { *out += std::to_string(i); }, out);
      return;
    case Value::Type::kInt64List:
      AppendTagged(
          "$int64", v.as_int64_list(), [out](int64_t i) { *out += std::to_string(i); }, out);
      return;
    case Value::Type::kFloat32List:
      AppendTagged(
          "$float32", v.as_float32_list(), [out](float f) { AppendListNumber(f, out); }, out);
      return;
    case Value::Type::kFloat64List:
      AppendTagged(
          "$float64", v.as_float64_list(), [out](double d) { AppendListNumber(d, out); }, out);
      return;
    case Value::Type::kList: {
      *out += '[';
      bool first = true;
      for (const auto& item : v.as_list()) {
        if (!first) *out += ',';
        first = false;
        Write(item, out);
      }
      *out += ']';
      return;
    }
    case Value::Type::kMap: {
      const auto& map = v.as_map();
      if (PlainObject(map)) {
        *out += '{';
        bool first = true;
        for (const auto& [key, item] : map) {
          if (!first) *out += ',';
          first = false;
          AppendString(key.as_string(), out);
          *out += ':';
          Write(item, out);
        }
        *out += '}';
      } else {
        *out += "{\"$map\":[";
        bool first = true;
        for (const auto& [key, item] : map) {
          if (!first) *out += ',';
          first = false;
          *out += '[';
          Write(key, out);
          *out += ',';
          Write(item, out);
          *out += ']';
        }
        *out += "]}";
      }
      return;
    }
    case Value::Type::kCustom: {
      const auto& custom = v.as_custom();
      *out += "{\"$custom\":" + std::to_string(custom.tag) + ",\"value\":";
      Write(custom.payload ? *custom.payload : Value(), out);
      *out += '}';
      return;
    }
  }
}

}  // namespace

Result<Value> ParseJsonValue(std::string_view text) {
  Json root;
  StrictSax sax(&root);
  bool ok = false;
  try {
    ok = Json::sax_parse(text, &sax);
  } catch (const nlohmann::json::exception& e) {
    return DecodeError{std::string("bad JSON: ") + e.what(), 0};
  }
  if (!ok) {
    return DecodeError{"bad JSON: " + (sax.error().empty() ? "does not parse" : sax.error()), 0};
  }
  Reader reader;
  Value value;
  if (!reader.Read(root, "", 0, &value)) return DecodeError{reader.error(), 0};
  return value;
}

std::string FormatJsonValue(const Value& value) {
  std::string out;
  Write(value, &out);
  return out;
}

}  // namespace kelvo
