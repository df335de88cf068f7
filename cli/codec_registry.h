// The codecs kelvoctl can speak, by the name given to --codec. "standard"
// (the engine's plain codec) is always there; a service that brings its own
// codec registers it under its name before the command line is parsed, and
// every channel command can then use it. Values of a codec's own types are
// written in the "$custom" JSON form whatever the codec.
// Threading: register from main() before any command runs; lookups after
// that are safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/engine/method_codec.h"
#include "platform/engine/standard_codec.h"

namespace kelvo {

inline constexpr const char* kStandardCodecName = "standard";

struct NamedCodec {
  std::string name;
  std::shared_ptr<const StandardCodec> message;  // basic message channels
  std::shared_ptr<const MethodCodec> method;     // method and event channels
};

class CodecRegistry {
 public:
  // The process-wide registry, holding "standard".
  static CodecRegistry& Default();

  CodecRegistry();
  // Adds or replaces the codec under `name`.
  void Register(const std::string& name, std::shared_ptr<const StandardCodec> codec);
  // nullptr for a name nobody registered.
  const NamedCodec* Find(const std::string& name) const;
  // Sorted, for --help and error messages.
  std::vector<std::string> Names() const;

 private:
  std::vector<NamedCodec> codecs_;
};

}  // namespace kelvo
