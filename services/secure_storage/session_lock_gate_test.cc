#include "services/secure_storage/session_lock_gate.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(SessionLockStateTest, FirstUnlockClassesWaitForAFirstUnlock) {
  bool unlocked = false;  // the process starts with the session locked
  SessionLockState state([&unlocked] { return unlocked; });
  EXPECT_FALSE(state.Allows(kSecAttrAccessibleAfterFirstUnlock));
  EXPECT_FALSE(state.Allows(kSecAttrAccessibleWhenUnlocked));
  unlocked = true;
  EXPECT_TRUE(state.Allows(kSecAttrAccessibleWhenUnlocked));
  unlocked = false;
  EXPECT_TRUE(state.Allows(kSecAttrAccessibleAfterFirstUnlock));
  EXPECT_TRUE(state.Allows(kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));
  for (const char* p : {kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
                        kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, "garbage"}) {
    EXPECT_FALSE(state.Allows(p)) << p;
  }
}

}  // namespace
}  // namespace kelvo
