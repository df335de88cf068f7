// The JSON form of a Value: how kelvoctl reads values given on its command
// line and prints the values it receives. Every Value has one JSON form and
// reading that form gives back an equal Value, so nothing is lost between a
// script and the codec.
//
//   Value                      JSON
//   null, bool, string         null, true/false, "text"
//   int (int64)                an integer literal: 42, -7
//   double                     a literal with a fraction or exponent: 3.0,
//                              1e+20, -0.0; NaN and the infinities as
//                              {"$double": "NaN" | "Infinity" | "-Infinity"}
//   bytes                      {"$bytes": "<base64>"}
//   int32 / int64 list         {"$int32": [1, 2]}, {"$int64": [1, 2]}
//   float32 / float64 list     {"$float32": [0.5, "NaN"]}, {"$float64": [...]}
//   list                       [ ... ]
//   map, keys all strings,     {"key": value, ...} in entry order
//     none starting with "$",
//     none repeated
//   any other map              {"$map": [[key, value], ...]}
//   custom value               {"$custom": 128..255, "value": payload}
//
// Reading is strict: an object with a key starting with "$" must be exactly
// one of the forms above; an integer literal that does not fit in int64 is
// an error rather than a silent double; lists given as "$int32" must hold
// integers in range. A repeated key in a plain object keeps its last value.
// Two things do not survive the text: a NaN's sign and payload bits (every
// NaN reads back as the quiet NaN, equal as a Value but not byte for byte),
// and strings that are not valid UTF-8 (no engine sends them), printed with
// U+FFFD in place of the bad bytes.
// Threading: plain functions.
#pragma once

#include <string>
#include <string_view>

#include "platform/engine/standard_codec.h"
#include "platform/engine/value.h"

namespace kelvo {

// One JSON value (blanks around it allowed). On failure the error's message
// says what is wrong and where (a JSON pointer such as /args/2).
Result<Value> ParseJsonValue(std::string_view text);

// The value's JSON form on one line, no trailing newline.
std::string FormatJsonValue(const Value& value);

}  // namespace kelvo
