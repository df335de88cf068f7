// Screens and the mouse pointer, in the desktop platform's coordinates:
// points, origin at the bottom-left of the main screen, y growing upward.
//
// A screen has a frame (the whole display) and a visible frame (the frame
// without the menu bar and dock). The host runs headless: there is no
// display server on this machine, so the process uses one documented
// virtual screen (MakeVirtualScreens); tests use FakeScreens
// (fake_screens.h) with several screens and a pointer position.
//
// Threading: ScreenSource implementations are safe to call from any thread;
// the free functions are pure.
#pragma once

#include <memory>
#include <optional>
#include <vector>

namespace kelvo {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  Point origin() const { return {x, y}; }
  Size size() const { return {width, height}; }
  double max_x() const { return x + width; }
  double max_y() const { return y + height; }
  bool operator==(const Rect&) const = default;
};

struct Screen {
  Rect frame;
  Rect visible_frame;
  bool operator==(const Screen&) const = default;
};

// The platform's mouse-in-rectangle test, which treats the pointer as the
// pixel below and right of its hot spot. Not flipped (y up): min x <= x <
// max x and min y < y <= max y. Flipped (y down): min y <= y < max y.
bool MouseInRect(Point point, const Rect& rect, bool flipped);

class ScreenSource {
 public:
  virtual ~ScreenSource() = default;
  // Every screen, in the platform's order (the first one has the menu bar).
  virtual std::vector<Screen> Screens() const = 0;
  // The screen that holds the key window or, failing that, the menu bar;
  // nullopt when there is no screen at all.
  virtual std::optional<Screen> MainScreen() const = 0;
  // Where the mouse pointer is now, in screen coordinates.
  virtual Point PointerLocation() const = 0;
};

// The headless screen: one 1920 x 1080 display at the origin, its visible
// frame the display minus a 25-point menu bar along the top
// ({0, 0, 1920, 1055}), and the pointer resting at its centre.
inline constexpr double kVirtualScreenWidth = 1920;
inline constexpr double kVirtualScreenHeight = 1080;
inline constexpr double kVirtualMenuBarHeight = 25;
std::unique_ptr<ScreenSource> MakeVirtualScreens();

}  // namespace kelvo
