#include "host/flutter_view_controller.h"

namespace kelvo {

class FlutterViewController::Registrar : public PluginRegistrar {
 public:
  Registrar(std::string key, BinaryMessenger* messenger, const HostContext* context)
      : key_(std::move(key)), messenger_(messenger), context_(context) {}

  const std::string& key() const override { return key_; }
  BinaryMessenger* messenger() override { return messenger_; }
  const HostContext& context() const override { return *context_; }
  void Publish(std::shared_ptr<void> service) override { published_.push_back(std::move(service)); }

 private:
  std::string key_;
  BinaryMessenger* messenger_;
  const HostContext* context_;
  std::vector<std::shared_ptr<void>> published_;
};

FlutterViewController::FlutterViewController(std::shared_ptr<BinaryMessenger> engine_messenger,
                                             HostContext context)
    : messenger_(std::move(engine_messenger)), context_(std::move(context)) {}

FlutterViewController::~FlutterViewController() = default;

PluginRegistrar* FlutterViewController::RegistrarForPlugin(const std::string& key) {
  auto& slot = registrars_[key];
  if (!slot) {
    slot = std::make_unique<Registrar>(key, messenger_.get(), &context_);
    order_.push_back(key);
  }
  return slot.get();
}

}  // namespace kelvo
