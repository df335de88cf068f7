// settings get/set/remove: the App Group store, opened directly as the
// extension opens it (no host in between).
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_value.h"
#include "platform/defaults/defaults_failure.h"
#include "platform/defaults/user_defaults.h"
#include "tunnel/app_group_settings.h"

namespace kelvo {
namespace {

std::unique_ptr<UserDefaults> OpenSuite(const CommandContext& ctx,
                                        std::unique_ptr<UserDefaultsSystem>* system) {
  DefaultsConfig config = DefaultsConfig::FromEnvironment();
  if (!config.error.empty()) {
    *ctx.err << "kelvoctl: " << config.error << "\n";
    return nullptr;
  }
  *system = OpenUserDefaultsSystem(config);
  auto suite = (*system)->Suite(kAppGroupId);
  if (!suite) {
    *ctx.err << "kelvoctl: the App Group store " << kAppGroupId
             << " does not open: " << LastDefaultsFailure()
             << " (KELVO_APP_GROUP_ROOT sets the root)\n";
  }
  return suite;
}

}  // namespace

int SettingsGet(const CommandContext& ctx, const std::string& key) {
  std::unique_ptr<UserDefaultsSystem> system;
  auto suite = OpenSuite(ctx, &system);
  if (!suite) return kExitLocal;
  *ctx.out << FormatJsonValue(suite->Get(key).value_or(Value())) << "\n";
  return kExitOk;
}

int SettingsSet(const CommandContext& ctx, const std::string& key, const std::string& value) {
  std::unique_ptr<UserDefaultsSystem> system;
  auto suite = OpenSuite(ctx, &system);
  if (!suite) return kExitLocal;
  if (!suite->Set(key, Value(value))) {
    *ctx.err << "kelvoctl: the App Group store refused to store '" << key
             << "': " << LastDefaultsFailure() << "\n";
    return kExitLocal;
  }
  return kExitOk;
}

int SettingsRemove(const CommandContext& ctx, const std::string& key) {
  std::unique_ptr<UserDefaultsSystem> system;
  auto suite = OpenSuite(ctx, &system);
  if (!suite) return kExitLocal;
  if (!suite->Remove(key)) {
    *ctx.err << "kelvoctl: the App Group store refused to remove '" << key
             << "': " << LastDefaultsFailure() << "\n";
    return kExitLocal;
  }
  return kExitOk;
}

}  // namespace kelvo
