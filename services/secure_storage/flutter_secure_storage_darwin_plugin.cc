#include "services/secure_storage/flutter_secure_storage_darwin_plugin.h"

#include <exception>

#include "platform/keychain/keychain_files.h"
#include "platform/keychain/master_key_source.h"
#include "platform/log/system_log.h"
#include "services/secure_storage/session_lock_gate.h"
#include "services/secure_storage/parse_call.h"
#include "services/secure_storage/unavailable_keychain.h"

namespace kelvo {
namespace {

constexpr const char* kLogSubsystem = "net.kelvo.app";
constexpr const char* kLogCategory = "secure_storage";

FlutterError MissingParameter(const char* message) {
  return FlutterError{"Missing Parameter", std::string(message), Value()};
}

// What the registrar keeps: the monitor stops, and the plugin lets go of
// the sink, when the engine goes.
struct EngineAttachment {
  std::shared_ptr<FlutterSecureStorageDarwinPlugin> plugin;
  std::shared_ptr<ProtectedDataMonitor> monitor;
  ~EngineAttachment() {
    if (monitor) monitor->Stop();
    if (plugin) plugin->DetachFromEngine();
  }
};

Value ResponseValue(const FlutterSecureStorageResponse& response) {
  if (const auto* text = std::get_if<std::string>(&response.value)) return Value(*text);
  if (const auto* map = std::get_if<FlutterSecureStorageResponse::Map>(&response.value)) {
    ValueMap out;
    out.reserve(map->size());
    for (const auto& [key, value] : *map) out.append(Value(key), Value(value));
    return Value(std::move(out));
  }
  return Value();
}

std::string UnknownStatus(OSStatus status) {
  return "Unknown security result code: " + std::to_string(status);
}

}  // namespace

Envelope handleResponse(const FlutterSecureStorageResponse& response) {
  if (response.status == errSecSuccess) return ResponseValue(response);
  std::optional<std::string> text = SecCopyErrorMessageString(response.status);
  std::string message = text ? "Code: " + std::to_string(response.status) + ", Message: " + *text
                             : UnknownStatus(response.status);
  return FlutterError{kUnexpectedSecurityResultCode, std::move(message),
                      Value(int64_t{response.status})};
}

void FlutterSecureStorageDarwinPlugin::Register(PluginRegistrar* registrar) {
  std::shared_ptr<SystemLog> log = MakeSystemLog(kLogSubsystem, kLogCategory);
  Dispatch* dispatch = registrar->context().dispatch;
  if (!dispatch) {
    log->Error("secure storage service not registered: the host gave no dispatch");
    return;
  }
  LogindMonitorOptions options;
  options.log = [log](const std::string& line) { log->Notice(line); };
  std::shared_ptr<ProtectedDataMonitor> monitor =
      MakeLogindProtectedDataMonitor(dispatch->MainQueue(), options);
  OpenedSecrets secrets = OpenUserSecrets(monitor, log);
  RegisterWith(registrar, std::move(secrets.keychain), std::move(secrets.enclave),
               std::move(monitor));
}

FlutterSecureStorageDarwinPlugin::OpenedSecrets FlutterSecureStorageDarwinPlugin::OpenUserSecrets(
    const std::shared_ptr<ProtectedDataMonitor>& monitor, const std::shared_ptr<SystemLog>& log) {
  auto notice = [log](const std::string& line) { log->Notice(line); };
  OpenedSecrets opened;
  std::string error;
  std::shared_ptr<MasterKeySource> master_key;
  std::optional<std::string> directory = UserKeychainDirectory(&error);
  if (directory && EnsurePrivateDirectory(*directory, &error)) {
    MasterKeyOptions key_options;
    // The key stays in memory only while the session is unlocked.
    key_options.may_cache = [monitor] { return monitor->IsProtectedDataAvailable(); };
    key_options.log = notice;
    master_key = OpenMasterKeySource(*directory, key_options, &error);
  }
  if (master_key) opened.keychain = OpenKeychainAt(*directory, master_key, &error);
  if (!opened.keychain) {
    log->Error("the keychain cannot be opened (" + error + "); keychain calls will fail");
    opened.keychain = MakeUnavailableKeychain();
  }
  error.clear();
  EnclaveOptions enclave_options;
  enclave_options.log = notice;
  EnclaveBackend backend = EnclaveBackend::kSoftware;
  if (master_key) {
    opened.enclave =
        OpenSecureEnclaveAt(*directory, master_key, enclave_options, &backend, &error);
  }
  if (!opened.enclave) {
    log->Error("the enclave key store cannot be opened (" + error +
               "); enclave-protected values cannot be written");
    opened.enclave = MakeUnavailableEnclave("the enclave key store cannot be opened: " + error);
  }
  if (master_key) {
    log->Notice("secrets in " + *directory + ": master key in " + master_key->Describe() +
                "; enclave keys " +
                (backend == EnclaveBackend::kTpm ? "held by the TPM"
                                                 : "in software, sealed by the master key"));
  }
  return opened;
}

std::shared_ptr<FlutterSecureStorageDarwinPlugin> FlutterSecureStorageDarwinPlugin::RegisterWith(
    PluginRegistrar* registrar, std::shared_ptr<Keychain> keychain,
    std::shared_ptr<SecureEnclave> enclave, std::shared_ptr<ProtectedDataMonitor> monitor,
    FlutterSecureStorage::LinePrinter print) {
  Dispatch* dispatch = registrar->context().dispatch;
  if (!dispatch) return nullptr;
  // Accessibility follows the session's lock state.
  auto state = std::make_shared<SessionLockState>(
      [monitor] { return monitor->IsProtectedDataAvailable(); });
  keychain = MakeSessionLockedKeychain(std::move(keychain), state);
  enclave = MakeSessionLockedEnclave(std::move(enclave), state);
  auto plugin = std::make_shared<FlutterSecureStorageDarwinPlugin>(
      FlutterSecureStorage(std::move(keychain), std::move(enclave), std::move(print)),
      dispatch->CreateSerialQueue(kSecureStorageQueueLabel), dispatch->MainQueue(), monitor);
  plugin->Install(registrar->messenger());
  monitor->Start([weak = std::weak_ptr<FlutterSecureStorageDarwinPlugin>(plugin)](bool available) {
    auto self = weak.lock();
    if (!self) return;
    if (available) {
      self->applicationProtectedDataDidBecomeAvailable();
    } else {
      self->applicationProtectedDataWillBecomeUnavailable();
    }
  });
  state->Unlocked();  // the state at start counts as seen
  auto attachment = std::make_shared<EngineAttachment>();
  attachment->plugin = plugin;
  attachment->monitor = std::move(monitor);
  registrar->Publish(std::move(attachment));
  return plugin;
}

FlutterSecureStorageDarwinPlugin::FlutterSecureStorageDarwinPlugin(
    FlutterSecureStorage manager, std::shared_ptr<Queue> serial_queue,
    std::shared_ptr<Queue> main_queue, std::shared_ptr<ProtectedDataMonitor> monitor)
    : flutterSecureStorageManager_(std::move(manager)),
      serialExecutionQueue_(std::move(serial_queue)),
      main_(std::move(main_queue)),
      monitor_(std::move(monitor)) {}

void FlutterSecureStorageDarwinPlugin::Install(BinaryMessenger* messenger) {
  MethodChannel(messenger, kSecureStorageMethodChannel)
      .SetMethodCallHandler([weak = weak_from_this()](MethodCall call,
                                                      std::shared_ptr<MethodResult> result) {
        if (auto self = weak.lock()) {
          self->handle(std::move(call), std::move(result));
        } else {
          result->NotImplemented();
        }
      });
  EventChannel(messenger, kSecureStorageEventChannel).SetStreamHandler(shared_from_this());
}

void FlutterSecureStorageDarwinPlugin::handle(MethodCall call,
                                              std::shared_ptr<MethodResult> result) {
  serialExecutionQueue_->Async([self = shared_from_this(), call = std::move(call),
                                result = std::move(result)] {
    try {
      self->handleOnQueue(call, result);
    } catch (const std::exception& e) {
      // Nothing here is expected to throw; if it does, the call still gets
      // its one answer.
      self->handleResult(result, FlutterError{"Internal Error", std::string(e.what()), Value()});
    }
  });
}

void FlutterSecureStorageDarwinPlugin::handleOnQueue(const MethodCall& call,
                                                     const std::shared_ptr<MethodResult>& result) {
  const std::string& method = call.method;
  if (method == "isProtectedDataAvailable") {
    main_->Async([self = shared_from_this(), result] {
      result->Success(Value(self->monitor_->IsProtectedDataAvailable()));
    });
    return;
  }
  const bool keychainMethod = method == "read" || method == "write" || method == "delete" ||
                              method == "deleteAll" || method == "readAll" ||
                              method == "containsKey";
  if (!keychainMethod) {
    handleResult(result, std::nullopt);
    return;
  }
  const ValueMap* arguments = StringKeyedArguments(call.arguments);
  if (!arguments) {
    handleResult(result, FlutterError{"Invalid Arguments",
                                      method + " requires a map of arguments with string keys",
                                      Value()});
    return;
  }
  ParsedCall parsed = parseCall(*arguments);
  const KeychainQueryParameters& params = parsed.params;
  const FlutterSecureStorage& storage = flutterSecureStorageManager_;

  if (method == "read") {
    if (!params.key) return handleResult(result, MissingParameter("read requires key parameter"));
    handleResult(result, handleResponse(storage.read(params)));
  } else if (method == "write") {
    if (!params.key || !parsed.value) {
      return handleResult(result, MissingParameter("write requires key and value parameters"));
    }
    handleResult(result, handleResponse(storage.write(params, *parsed.value)));
  } else if (method == "delete") {
    if (!params.key) {
      return handleResult(result, MissingParameter("delete requires key parameter"));
    }
    handleResult(result, handleResponse(storage.deleteItem(params)));
  } else if (method == "deleteAll") {
    FlutterSecureStorageResponse response = storage.performDelete(params, /*clearKey=*/true);
    if (params.enclave()) storage.deleteEnclavePrivateKey(params.service);
    handleResult(result, handleResponse(response));
  } else if (method == "readAll") {
    handleResult(result, handleResponse(storage.readAll(params)));
  } else {  // containsKey
    if (!params.key) {
      return handleResult(result, MissingParameter("containsKey requires key parameter"));
    }
    SecExpected<bool> contains = storage.containsKey(params);
    if (contains.has_value()) return handleResult(result, Value(contains.value()));
    // The platform's text alone here, without the code frame of the others.
    const OSStatus status = contains.error().status;
    std::optional<std::string> text = SecCopyErrorMessageString(status);
    handleResult(result, FlutterError{kUnexpectedSecurityResultCode,
                                      text ? *text : UnknownStatus(status),
                                      Value(int64_t{status})});
  }
}

void FlutterSecureStorageDarwinPlugin::handleResult(std::shared_ptr<MethodResult> result,
                                                    std::optional<Envelope> reply) {
  main_->Async([result = std::move(result), reply = std::move(reply)] {
    if (!reply) {
      result->NotImplemented();
    } else if (const Value* value = std::get_if<Value>(&*reply)) {
      result->Success(*value);
    } else {
      result->Error(std::get<FlutterError>(*reply));
    }
  });
}

std::optional<FlutterError> FlutterSecureStorageDarwinPlugin::OnListen(
    const Value&, std::shared_ptr<EventSink> sink) {
  std::lock_guard lock(mu_);
  secStoreAvailabilitySink_ = std::move(sink);
  return std::nullopt;
}

std::optional<FlutterError> FlutterSecureStorageDarwinPlugin::OnCancel(const Value&) {
  std::lock_guard lock(mu_);
  secStoreAvailabilitySink_ = nullptr;
  return std::nullopt;
}

void FlutterSecureStorageDarwinPlugin::applicationProtectedDataDidBecomeAvailable() { Send(true); }

void FlutterSecureStorageDarwinPlugin::applicationProtectedDataWillBecomeUnavailable() {
  Send(false);
}

void FlutterSecureStorageDarwinPlugin::Send(bool available) {
  std::shared_ptr<EventSink> sink;
  {
    std::lock_guard lock(mu_);
    sink = secStoreAvailabilitySink_;
  }
  if (sink) sink->Success(Value(available));
}

void FlutterSecureStorageDarwinPlugin::DetachFromEngine() {
  std::lock_guard lock(mu_);
  secStoreAvailabilitySink_ = nullptr;
}

}  // namespace kelvo
