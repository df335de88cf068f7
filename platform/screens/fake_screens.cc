#include "platform/screens/fake_screens.h"

namespace kelvo {

FakeScreens::FakeScreens(std::vector<Screen> screens, Point pointer)
    : screens_(std::move(screens)), pointer_(pointer) {}

std::vector<Screen> FakeScreens::Screens() const {
  std::lock_guard lock(mu_);
  return screens_;
}

std::optional<Screen> FakeScreens::MainScreen() const {
  std::lock_guard lock(mu_);
  int index = main_index_.value_or(0);
  if (index < 0 || index >= static_cast<int>(screens_.size())) return std::nullopt;
  return screens_[static_cast<size_t>(index)];
}

Point FakeScreens::PointerLocation() const {
  std::lock_guard lock(mu_);
  return pointer_;
}

void FakeScreens::set_screens(std::vector<Screen> screens) {
  std::lock_guard lock(mu_);
  screens_ = std::move(screens);
}

void FakeScreens::set_pointer(Point pointer) {
  std::lock_guard lock(mu_);
  pointer_ = pointer;
}

void FakeScreens::set_main_index(std::optional<int> index) {
  std::lock_guard lock(mu_);
  main_index_ = index;
}

}  // namespace kelvo
