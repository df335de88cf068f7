#include "host/host_control_channel.h"

#include "host/app_group.h"
#include "platform/defaults/defaults_failure.h"

namespace kelvo {
namespace {

// The login item service is there on every version of this system.
constexpr bool kLoginItemServiceAvailable = true;

constexpr const char* kStorageError = "STORAGE_ERROR";

// The store's own reason for the failure it just logged on this thread.
std::string StoreFailure() {
  std::string why = LastDefaultsFailure();
  return why.empty() ? std::string("the App Group store ") + kHostAppGroup + " did not store it"
                     : why;
}

}  // namespace

HostControlChannel::HostControlChannel(HostControlDeps deps) : deps_(std::move(deps)) {}

void HostControlChannel::Install(BinaryMessenger* messenger) {
  channel_ = std::make_unique<MethodChannel>(messenger, kHostControlChannel);
  channel_->SetMethodCallHandler(
      [self = shared_from_this()](const MethodCall& call, std::shared_ptr<MethodResult> result) {
        self->HandleMethodCall(call, std::move(result));
      });
}

void HostControlChannel::HandleMethodCall(const MethodCall& call,
                                          std::shared_ptr<MethodResult> result) {
  const std::string& m = call.method;
  if (m == "getRuntimeStats") {
    SendProviderProbe(kRuntimeConfigurationMessage, std::move(result), true);
  } else if (m == "pingTunnel") {
    SendProviderProbe(kLivenessMessage, std::move(result), false);
  } else if (m == "watchdogDebug") {
    WatchdogDebug(std::move(result));
  } else if (m == "appGroupSet" || m == "appGroupGet" || m == "appGroupRemove") {
    AppGroupMethod(call, *result);
  } else if (m == "requestNotifications") {
    RequestNotifications(std::move(result));
  } else if (m == "getLaunchAtLogin") {
    GetLaunchAtLogin(*result);
  } else if (m == "setLaunchAtLogin") {
    SetLaunchAtLogin(call.arguments, *result);
  } else {
    result->NotImplemented();
  }
}

void HostControlChannel::AppGroupMethod(const MethodCall& call, MethodResult& result) {
  const Value* key = call.arguments.find("key");
  if (!key || !key->is_string()) return result.Error("BAD_ARGS", "key requerida");
  // A fresh handle per call, so a value the extension wrote is seen now.
  std::unique_ptr<UserDefaults> suite = deps_.defaults->Suite(kHostAppGroup);
  if (call.method == "appGroupGet") {
    std::optional<Value> stored = suite ? suite->Get(key->as_string()) : std::nullopt;
    return result.Success(stored && stored->is_string() ? *stored : Value());
  }
  const Value* value = call.arguments.find("value");
  // A change that was not stored is an error, never a silent true: the
  // user interface would take a lost token or flag for a stored one.
  if (!suite) return result.Error(kStorageError, StoreFailure());
  bool stored = call.method == "appGroupSet" && value && value->is_string()
                    ? suite->Set(key->as_string(), *value)
                    : suite->Remove(key->as_string());
  if (!stored) return result.Error(kStorageError, StoreFailure());
  result.Success(true);
}

void HostControlChannel::RequestNotifications(std::shared_ptr<MethodResult> result) {
  deps_.notifications->RequestAuthorization(
      kAuthorizeAlert | kAuthorizeSound,
      [main = deps_.main_queue, result](bool granted, std::optional<std::string>) {
        main->Async([result, granted] { result->Success(granted); });
      });
}

void HostControlChannel::GetLaunchAtLogin(MethodResult& result) {
  result.Success(kLoginItemServiceAvailable &&
                 deps_.login_item->Status() == LoginItemStatus::kEnabled);
}

void HostControlChannel::SetLaunchAtLogin(const Value& arguments, MethodResult& result) {
  const Value* enabled = arguments.find("enabled");
  if (!enabled || !enabled->is_bool()) return result.Error("BAD_ARGS", "enabled requerido");
  if (!kLoginItemServiceAvailable) return result.Error("UNSUPPORTED", "Requiere macOS 13+");
  LoginItem& item = *deps_.login_item;
  const bool on = item.Status() == LoginItemStatus::kEnabled;
  std::optional<std::string> error;
  if (enabled->as_bool() && !on) error = item.Register();
  if (!enabled->as_bool() && on) error = item.Unregister();
  if (error) return result.Error("LOGIN_ITEM_ERROR", *error);
  result.Success(true);
}

}  // namespace kelvo
