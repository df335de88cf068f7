// Screens for tests: whatever screens, main screen and pointer the test
// sets. The main screen is the first screen unless the test picks another
// (or none). Threading: all methods are thread-safe.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "platform/screens/screens.h"

namespace kelvo {

class FakeScreens : public ScreenSource {
 public:
  FakeScreens() = default;
  FakeScreens(std::vector<Screen> screens, Point pointer);

  std::vector<Screen> Screens() const override;
  std::optional<Screen> MainScreen() const override;
  Point PointerLocation() const override;

  void set_screens(std::vector<Screen> screens);
  void set_pointer(Point pointer);
  // nullopt: the first screen (the default); -1: no main screen at all.
  void set_main_index(std::optional<int> index);

 private:
  mutable std::mutex mu_;
  std::vector<Screen> screens_;
  Point pointer_;
  std::optional<int> main_index_;
};

}  // namespace kelvo
