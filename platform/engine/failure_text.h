// Readable texts for a failure that is neither a FlutterError nor the API's
// own error: the error reply of a typed channel carries its type name and
// the call stack where it was answered, for a person to read.
//
// Threading: any thread; nothing is shared.
#pragma once

#include <string>
#include <typeinfo>

namespace kelvo {

// The type's source name ("std::runtime_error"), never the compiler's
// mangled one; the raw name only when it cannot be demangled.
std::string ReadableTypeName(const std::type_info& type);

// The calling thread's stack below this function, innermost frame first,
// one numbered frame a line. Symbols are demangled where the binary exports
// them; other frames show module and offset.
std::string CurrentCallStack();

}  // namespace kelvo
