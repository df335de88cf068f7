// A window as a model object: there is no display to draw on, so a window
// is its frame, minimum size, visibility and key state, and the content
// view controller it owns.
//
// Ownership: the window owns its content view controller.
// Threading: main queue only.
#pragma once

#include <memory>

#include "platform/screens/screens.h"

namespace kelvo {

class ViewController {
 public:
  virtual ~ViewController() = default;
};

class Window {
 public:
  Window(Rect content_rect, ScreenSource* screens);
  virtual ~Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Set from the main interface description, before the window is shown.
  virtual void AwakeFromNib() {}

  Rect frame() const { return frame_; }
  // `display` asks for a redraw; with nothing to draw it changes nothing.
  void SetFrame(Rect frame, bool display);
  void SetFrameOrigin(Point origin);
  Size min_size() const { return min_size_; }
  void SetMinSize(Size size) { min_size_ = size; }

  // The platform's own centring: horizontally centred on the main screen's
  // visible frame, with twice as much room below the window as above it;
  // without any screen the frame stays as it is.
  void Center();

  bool visible() const { return visible_; }
  bool key() const { return key_; }
  void MakeKeyAndOrderFront();
  void OrderOut();  // hides it, as closing the main window does

  ViewController* content_view_controller() const { return content_.get(); }
  void SetContentViewController(std::unique_ptr<ViewController> controller);

 private:
  ScreenSource* screens_;  // not owned
  Rect frame_;
  Size min_size_;
  bool visible_ = false;
  bool key_ = false;
  std::unique_ptr<ViewController> content_;
};

}  // namespace kelvo
