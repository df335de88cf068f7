#include "platform/screens/screens.h"

namespace kelvo {

bool MouseInRect(Point p, const Rect& r, bool flipped) {
  if (p.x < r.x || p.x >= r.max_x()) return false;
  if (flipped) return p.y >= r.y && p.y < r.max_y();
  return p.y > r.y && p.y <= r.max_y();
}

namespace {

class VirtualScreens : public ScreenSource {
 public:
  std::vector<Screen> Screens() const override { return {screen_}; }
  std::optional<Screen> MainScreen() const override { return screen_; }
  Point PointerLocation() const override {
    return {kVirtualScreenWidth / 2, kVirtualScreenHeight / 2};
  }

 private:
  const Screen screen_{{0, 0, kVirtualScreenWidth, kVirtualScreenHeight},
                       {0, 0, kVirtualScreenWidth, kVirtualScreenHeight - kVirtualMenuBarHeight}};
};

}  // namespace

std::unique_ptr<ScreenSource> MakeVirtualScreens() { return std::make_unique<VirtualScreens>(); }

}  // namespace kelvo
