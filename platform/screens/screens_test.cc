#include "platform/screens/screens.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(MouseInRect, EdgesFollowThePlatformRule) {
  const Rect r{10, 20, 100, 50};  // x 10..110, y 20..70
  // Not flipped: left and top edges inside, right and bottom edges outside.
  EXPECT_TRUE(MouseInRect({10, 70}, r, false));
  EXPECT_FALSE(MouseInRect({110, 40}, r, false));
  EXPECT_FALSE(MouseInRect({50, 20}, r, false));
  EXPECT_TRUE(MouseInRect({50, 20.5}, r, false));
  // Flipped: the min-y edge is inside, the max-y edge is not.
  EXPECT_TRUE(MouseInRect({50, 20}, r, true));
  EXPECT_FALSE(MouseInRect({50, 70}, r, true));
  EXPECT_FALSE(MouseInRect({9.99, 40}, r, false));
}

TEST(VirtualScreens, OneScreenWithAMenuBarAndThePointerOnIt) {
  auto screens = MakeVirtualScreens();
  ASSERT_EQ(screens->Screens().size(), 1u);
  Screen s = screens->Screens()[0];
  EXPECT_EQ(s.frame, (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(s.visible_frame, (Rect{0, 0, 1920, 1055}));
  EXPECT_EQ(screens->MainScreen(), s);
  EXPECT_TRUE(MouseInRect(screens->PointerLocation(), s.frame, false));
}

}  // namespace
}  // namespace kelvo
