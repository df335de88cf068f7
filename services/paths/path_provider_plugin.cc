#include "services/paths/path_provider_plugin.h"

#include "platform/engine/channels.h"
#include "platform/engine/typed_messages.h"

namespace kelvo {
namespace {

class PathProviderReaderWriter : public ReaderWriter {
 public:
  Result<Value> ReadValueOfType(const StandardCodec& codec, uint8_t type, ByteReader& r,
                                int depth) const override {
    if (type != kDirectoryTypeTag) return ReaderWriter::ReadValueOfType(codec, type, r, depth);
    Result<Value> raw = codec.ReadValue(r, depth + 1);
    if (!raw.ok()) return raw;
    const auto* i = raw.value().get_if<int64_t>();
    if (i == nullptr || *i < 0 || *i > 5) return Value();  // no such type
    return Value::Custom(kDirectoryTypeTag, Value(*i));
  }
};

FlutterErrorException BadRequest(const std::string& message) {
  return FlutterErrorException({"bad-request", message, Value()});
}

// The type argument: nullopt for "no value", an error for another kind.
std::optional<DirectoryType> TypeArgument(const ValueList& args) {
  const Value& arg = TypedArgument(args, 0, "type");
  if (arg.is_null()) return std::nullopt;
  const auto* custom = arg.get_if<CustomValue>();
  const int64_t* i = custom && custom->tag == kDirectoryTypeTag
                         ? custom->payload->get_if<int64_t>()
                         : nullptr;
  if (i == nullptr) {
    throw BadRequest("argument 'type' is not a DirectoryType: " + arg.DebugString());
  }
  if (*i < 0 || *i > 5) return std::nullopt;  // built by hand, not by the codec
  return static_cast<DirectoryType>(*i);
}

Value OrNull(const std::optional<std::string>& path) { return path ? Value(*path) : Value(); }

}  // namespace

const StandardCodec& PathProviderCodec() {
  static const StandardCodec codec(std::make_shared<PathProviderReaderWriter>());
  return codec;
}

Value DirectoryTypeValue(DirectoryType type) {
  return Value::Custom(kDirectoryTypeTag, Value(static_cast<int>(type)));
}

PathProviderPlugin::PathProviderPlugin(Sources sources) : sources_(std::move(sources)) {
  if (!sources_.environment) sources_.environment = ProcessEnvironment();
}

void PathProviderPlugin::Register(PluginRegistrar* registrar) {
  UserDefaultsSystem* defaults = registrar->context().defaults;
  auto plugin = std::make_shared<PathProviderPlugin>(Sources{
      registrar->context().defaults_config.bundle_id,
      ProcessEnvironment(),
      [defaults](const std::string& group) -> std::optional<std::string> {
        if (defaults == nullptr) return std::nullopt;
        return defaults->AppGroupContainer(group);
      },
  });
  SetUp(registrar->messenger(), plugin);
  registrar->Publish(plugin);
}

void PathProviderPlugin::SetUp(BinaryMessenger* messenger,
                               std::shared_ptr<PathProviderPlugin> api) {
  BasicMessageChannel directory(messenger, kGetDirectoryPathChannel, &PathProviderCodec());
  SetTypedHandler(directory, [api](const ValueList& args) {
    std::optional<DirectoryType> type = TypeArgument(args);
    return type ? OrNull(api->GetDirectoryPath(*type)) : Value();
  });
  BasicMessageChannel container(messenger, kGetContainerPathChannel, &PathProviderCodec());
  SetTypedHandler(container, [api](const ValueList& args) {
    const auto* group = TypedArgument(args, 0, "appGroupIdentifier").get_if<std::string>();
    if (group == nullptr) throw BadRequest("argument 'appGroupIdentifier' is not a string");
    return OrNull(api->GetContainerPath(*group));
  });
}

std::optional<std::string> PathProviderPlugin::GetDirectoryPath(DirectoryType type) const {
  SearchPathDirectory directory = SearchPathDirectory::kCaches;
  bool append_bundle_identifier = false;
  switch (type) {
    case DirectoryType::kApplicationDocuments:
      directory = SearchPathDirectory::kDocuments;
      break;
    case DirectoryType::kApplicationSupport:
      directory = SearchPathDirectory::kApplicationSupport;
      append_bundle_identifier = true;
      break;
    case DirectoryType::kDownloads:
      directory = SearchPathDirectory::kDownloads;
      break;
    case DirectoryType::kLibrary:
      directory = SearchPathDirectory::kLibrary;
      break;
    case DirectoryType::kTemp:
      directory = SearchPathDirectory::kCaches;
      break;
    case DirectoryType::kApplicationCache:
      directory = SearchPathDirectory::kCaches;
      append_bundle_identifier = true;
      break;
    default:
      return std::nullopt;
  }
  std::optional<std::string> path =
      UserDomainPath(directory, XdgBaseDirs::FromEnvironment(sources_.environment));
  if (!path || !append_bundle_identifier) return path;
  // Without an identifier the application would share the directory with
  // every other one; no path is safer than that.
  if (sources_.bundle_identifier.empty()) return std::nullopt;
  return (*path == "/" ? std::string() : *path) + "/" + sources_.bundle_identifier;
}

std::optional<std::string> PathProviderPlugin::GetContainerPath(
    const std::string& app_group_identifier) const {
  if (!sources_.app_group_container) return std::nullopt;
  return sources_.app_group_container(app_group_identifier);
}

}  // namespace kelvo
