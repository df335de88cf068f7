#include "cli/codec_registry.h"

#include <algorithm>

namespace kelvo {

CodecRegistry& CodecRegistry::Default() {
  static CodecRegistry registry;
  return registry;
}

CodecRegistry::CodecRegistry() {
  // The plain codec is process-wide; the shared_ptr does not own it.
  Register(kStandardCodecName,
           std::shared_ptr<const StandardCodec>(&StandardCodec::Instance(), [](auto*) {}));
}

void CodecRegistry::Register(const std::string& name, std::shared_ptr<const StandardCodec> codec) {
  // The method codec refers to the message codec, so it keeps it alive.
  auto method = std::shared_ptr<const MethodCodec>(new MethodCodec(*codec),
                                                   [codec](const MethodCodec* m) { delete m; });
  NamedCodec entry{name, std::move(codec), std::move(method)};
  for (auto& existing : codecs_) {
    if (existing.name == name) {
      existing = std::move(entry);
      return;
    }
  }
  codecs_.push_back(std::move(entry));
}

const NamedCodec* CodecRegistry::Find(const std::string& name) const {
  for (const auto& c : codecs_) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::vector<std::string> CodecRegistry::Names() const {
  std::vector<std::string> names;
  for (const auto& c : codecs_) names.push_back(c.name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kelvo
