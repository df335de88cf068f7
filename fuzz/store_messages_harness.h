// The body both store message fuzzers share. A harness decodes arbitrary
// bytes with its generation's codec and checks: decoding never crashes; a
// decoded value is canonical (it encodes to bytes that decode to the same
// value and encode to the same bytes, with the same deep hash and, without
// duplicate keys, deep equality); descriptions never fail; and every tagged
// value in it, innermost first, passes the harness's own check (records
// read back with FromValue into a value that writes the same codec value,
// equals a copy of itself and hashes alike).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "platform/engine/standard_codec.h"
#include "services/store/messages.h"

namespace kelvo::store_fuzz {

// Maps with two deeply equal keys are not equal to their copies under the
// first-match rule, so equality is only checked without them.
inline bool HasDuplicateKeys(const Value& v) {
  if (v.is_list()) {
    for (const Value& e : v.as_list()) {
      if (HasDuplicateKeys(e)) return true;
    }
  } else if (v.is_map()) {
    const auto& entries = v.as_map().entries();
    for (size_t i = 0; i < entries.size(); ++i) {
      if (HasDuplicateKeys(entries[i].first) || HasDuplicateKeys(entries[i].second)) return true;
      for (size_t j = i + 1; j < entries.size(); ++j) {
        if (FLTPigeonDeepEquals(entries[i].first, entries[j].first)) return true;
      }
    }
  } else if (v.is_custom()) {
    return HasDuplicateKeys(*v.as_custom().payload);
  }
  return false;
}

template <typename T>
void CheckRecord(const Value& v) {
  std::optional<T> record = T::FromValue(v);
  if (!record) std::abort();
  if (!(record->ToValue() == v)) std::abort();
  const T copy = T::fromList(record->toList());
  if (copy.hash() != record->hash()) std::abort();
  if (!HasDuplicateKeys(v) && !(copy == *record)) std::abort();
  (void)record->description();
}

// Hands every custom value to check(tag, value), nested ones first.
template <typename Check>
void Walk(const Value& v, const Check& check) {
  if (v.is_list()) {
    for (const Value& e : v.as_list()) Walk(e, check);
  } else if (v.is_map()) {
    for (const auto& [k, e] : v.as_map()) {
      Walk(k, check);
      Walk(e, check);
    }
  } else if (v.is_custom()) {
    Walk(*v.as_custom().payload, check);
    check(v.as_custom().tag, v);
  }
}

template <typename Check>
int FuzzOne(const StandardCodec& codec, std::string_view null_text, const uint8_t* data,
            size_t size, const Check& check) {
  Result<Value> value = codec.Decode(std::span<const uint8_t>(data, size));
  if (!value.ok()) return 0;
  const std::vector<uint8_t> bytes = codec.Encode(value.value());
  Result<Value> again = codec.Decode(bytes);
  if (!again.ok() || !(again.value() == value.value())) std::abort();
  if (codec.Encode(again.value()) != bytes) std::abort();
  if (FLTPigeonDeepHash(again.value()) != FLTPigeonDeepHash(value.value())) std::abort();
  if (!HasDuplicateKeys(value.value()) && !FLTPigeonDeepEquals(again.value(), value.value())) {
    std::abort();
  }
  (void)FLTPigeonDescribe(value.value(), null_text);
  Walk(value.value(), check);
  return 0;
}

}  // namespace kelvo::store_fuzz
