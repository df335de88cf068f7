#include "platform/engine/failure_text.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace kelvo {
namespace {

// abi::__cxa_demangle's text, or empty when `mangled` is not a mangled name.
std::string Demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> text(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return status == 0 && text ? std::string(text.get()) : std::string();
}

// "module(mangled+0x1f) [0xaddr]" with the mangled part demangled.
std::string ReadableFrame(const std::string& frame) {
  size_t open = frame.find('(');
  size_t plus = frame.find('+', open);
  if (open == std::string::npos || plus == std::string::npos || plus == open + 1) return frame;
  std::string name = Demangle(frame.substr(open + 1, plus - open - 1).c_str());
  if (name.empty()) return frame;
  return frame.substr(0, open + 1) + name + frame.substr(plus);
}

}  // namespace

std::string ReadableTypeName(const std::type_info& type) {
  std::string name = Demangle(type.name());
  return name.empty() ? type.name() : name;
}

std::string CurrentCallStack() {
  constexpr int kMaxFrames = 64;
  void* frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, count),
                                                       &std::free);
  std::string stack;
  const int first = 1;  // this function
  for (int i = first; i < count; ++i) {
    if (!stack.empty()) stack += '\n';
    stack += std::to_string(i - first) + ' ';
    stack += symbols ? ReadableFrame(symbols.get()[i]) : "?";
  }
  return stack;
}

}  // namespace kelvo
