// An in-memory user-defaults system for other layers' unit tests: the same
// suite names, refusals, search list and dictionary as the SQLite system,
// with no files. Its domains live as long as the system's handles.
//
// FakeDefaultsControls lets a test make suites unavailable (every Suite()
// gives no store, as when the App Group root is missing) or make writes
// fail, at any time and from any thread.
#pragma once

#include <atomic>
#include <memory>

#include "platform/defaults/user_defaults.h"

namespace kelvo {

struct FakeDefaultsControls {
  std::atomic<bool> suites_available{true};
  std::atomic<bool> writes_fail{false};
};

// `config.app_group_root` defaults to "/fake/app-groups" when empty; it is
// only used to answer AppGroupContainer. `controls` may be null.
std::unique_ptr<UserDefaultsSystem> MakeInMemoryUserDefaultsSystem(
    std::shared_ptr<FakeDefaultsControls> controls = nullptr, DefaultsConfig config = {});

}  // namespace kelvo
