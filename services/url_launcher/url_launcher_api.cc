#include "services/url_launcher/url_launcher_api.h"

#include "platform/engine/channels.h"
#include "platform/engine/typed_messages.h"

namespace kelvo {
namespace {

using Operation = UrlLauncherBoolResult (UrlLauncherApi::*)(const std::string&);

void Bind(BinaryMessenger* messenger, const std::string& method, const std::string& suffix,
          std::shared_ptr<UrlLauncherApi> api, Operation operation) {
  BasicMessageChannel channel(
      messenger, TypedChannelName("url_launcher_macos", "UrlLauncherApi", method, suffix),
      &UrlLauncherCodec());
  if (!api) {
    SetTypedHandler(channel, nullptr);
    return;
  }
  SetTypedHandler(channel, [api, operation](const ValueList& args) {
    const std::string* url = TypedArgument(args, 0, "url").get_if<std::string>();
    if (url == nullptr) {
      throw FlutterErrorException({"bad-request", "argument 'url' is not a string", Value()});
    }
    return ((*api).*operation)(*url).ToValue();
  });
}

}  // namespace

void SetUpUrlLauncherApi(BinaryMessenger* messenger, std::shared_ptr<UrlLauncherApi> api,
                         const std::string& suffix) {
  Bind(messenger, "canLaunchUrl", suffix, api, &UrlLauncherApi::CanLaunchUrl);
  Bind(messenger, "launchUrl", suffix, api, &UrlLauncherApi::LaunchUrl);
}

}  // namespace kelvo
