#include "host/window.h"

namespace kelvo {

Window::Window(Rect content_rect, ScreenSource* screens)
    : screens_(screens), frame_(content_rect) {}

void Window::SetFrame(Rect frame, bool /*display*/) { frame_ = frame; }

void Window::SetFrameOrigin(Point origin) {
  frame_.x = origin.x;
  frame_.y = origin.y;
}

void Window::Center() {
  std::optional<Screen> screen = screens_->MainScreen();
  if (!screen) return;
  const Rect& v = screen->visible_frame;
  SetFrameOrigin({v.x + (v.width - frame_.width) / 2, v.y + (v.height - frame_.height) * 2 / 3});
}

void Window::MakeKeyAndOrderFront() {
  visible_ = true;
  key_ = true;
}

void Window::OrderOut() {
  visible_ = false;
  key_ = false;
}

void Window::SetContentViewController(std::unique_ptr<ViewController> controller) {
  content_ = std::move(controller);
}

}  // namespace kelvo
