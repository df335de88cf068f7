// The secure storage service: strings in the user's keychain on the method
// channel "net.kelvo.app/flutter_secure_storage", and protected-data
// availability on the event channel
// "net.kelvo.app/flutter_secure_storage/events".
//
// Methods: "read", "write", "delete", "deleteAll", "readAll", "containsKey"
// (arguments: a map with "key", "value" and "options"), and
// "isProtectedDataAvailable"; any other method is not implemented. A
// missing required argument is answered "Missing Parameter"; arguments that
// are not a map with string keys are answered "Invalid Arguments". A
// keychain status other than 0 is answered "Unexpected security result
// code" with the status as details (handleResponse). Every call gets
// exactly one reply.
//
// Events: listening stores the sink (replacing an earlier one; nothing is
// sent at once), cancelling drops it. The protected-data monitor's changes
// send true (available again) or false (about to become unavailable) to
// the stored sink.
//
// Ownership: registered, the plugin is shared by the messenger (as stream
// handler) and by the registrar, which also owns the monitor and stops it
// when the engine goes.
// Threading: calls arrive on the main queue; each is handled on the serial
// queue "flutter_secure_storage_service" (all keychain work, one call at a
// time in order of arrival) and answered on the main queue.
// "isProtectedDataAvailable" is read and answered on the main queue. The
// sink is set, cleared and used on the main queue.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/engine/plugin_registry.h"
#include "platform/log/system_log.h"
#include "platform/engine/channels.h"
#include "platform/session_lock/protected_data_monitor.h"
#include "services/secure_storage/flutter_secure_storage.h"

namespace kelvo {

inline constexpr const char* kSecureStorageMethodChannel = "net.kelvo.app/flutter_secure_storage";
inline constexpr const char* kSecureStorageEventChannel =
    "net.kelvo.app/flutter_secure_storage/events";
inline constexpr const char* kSecureStorageQueueLabel = "flutter_secure_storage_service";
inline constexpr const char* kUnexpectedSecurityResultCode = "Unexpected security result code";

// A response as a channel reply: the value on status 0, else the
// "Unexpected security result code" error.
Envelope handleResponse(const FlutterSecureStorageResponse& response);

class FlutterSecureStorageDarwinPlugin final
    : public StreamHandler,
      public std::enable_shared_from_this<FlutterSecureStorageDarwinPlugin> {
 public:
  // The registration entry point: the user's keychain and enclave store
  // (when either cannot be opened, every call that needs it answers with
  // an error), the logind monitor, both channels.
  static void Register(PluginRegistrar* registrar);
  // The user's keychain and enclave store, with the master key in the
  // Secret Service (cached while `monitor` says the session is unlocked) or
  // the key file, and enclave keys in the TPM or in software; stand-ins
  // that answer errors when they cannot be opened. Says in `log` where the
  // secrets are and what protects them.
  struct OpenedSecrets {
    std::shared_ptr<Keychain> keychain;
    std::shared_ptr<SecureEnclave> enclave;
  };
  static OpenedSecrets OpenUserSecrets(const std::shared_ptr<ProtectedDataMonitor>& monitor,
                                       const std::shared_ptr<SystemLog>& log);
  // The same on the given services, gated by the session's lock state
  // (session_lock_gate.h); returns the plugin (null without a dispatch).
  static std::shared_ptr<FlutterSecureStorageDarwinPlugin> RegisterWith(
      PluginRegistrar* registrar, std::shared_ptr<Keychain> keychain,
      std::shared_ptr<SecureEnclave> enclave, std::shared_ptr<ProtectedDataMonitor> monitor,
      FlutterSecureStorage::LinePrinter print = nullptr);

  FlutterSecureStorageDarwinPlugin(FlutterSecureStorage manager,
                                   std::shared_ptr<Queue> serial_queue,
                                   std::shared_ptr<Queue> main_queue,
                                   std::shared_ptr<ProtectedDataMonitor> monitor);

  // Becomes the method channel's call handler and the event channel's
  // stream handler on `messenger`.
  void Install(BinaryMessenger* messenger);

  void handle(MethodCall call, std::shared_ptr<MethodResult> result);
  std::optional<FlutterError> OnListen(const Value& arguments,
                                       std::shared_ptr<EventSink> sink) override;
  std::optional<FlutterError> OnCancel(const Value& arguments) override;
  // The application lifecycle: on the main queue.
  void applicationProtectedDataDidBecomeAvailable();
  void applicationProtectedDataWillBecomeUnavailable();
  // The engine is going: drops the sink.
  void DetachFromEngine();

  const FlutterSecureStorage& flutterSecureStorageManager() const {
    return flutterSecureStorageManager_;
  }

 private:
  // Runs on the serial queue.
  void handleOnQueue(const MethodCall& call, const std::shared_ptr<MethodResult>& result);
  // Answers on the main queue; nullopt answers "not implemented".
  void handleResult(std::shared_ptr<MethodResult> result, std::optional<Envelope> reply);
  void Send(bool available);

  const FlutterSecureStorage flutterSecureStorageManager_;
  const std::shared_ptr<Queue> serialExecutionQueue_;
  const std::shared_ptr<Queue> main_;
  const std::shared_ptr<ProtectedDataMonitor> monitor_;
  std::mutex mu_;
  std::shared_ptr<EventSink> secStoreAvailabilitySink_;  // guarded by mu_
};

}  // namespace kelvo
