// Where anchored controls go when the dialog's client area changes size (Windows build).
#include <gtest/gtest.h>

#include "resizable_dlg.h"

namespace {

TEST(Anchor, RectFollowsTheFlags) {
  struct Case {
    int flags;
    int dx, dy;
    RECT expected;
  };
  const RECT start = {10, 20, 110, 70};
  const Case cases[] = {
      {0, 30, 40, {10, 20, 110, 70}},
      {ANCHOR_MOVE_X, 30, 40, {40, 20, 140, 70}},
      {ANCHOR_MOVE_Y, 30, 40, {10, 60, 110, 110}},
      {ANCHOR_SIZE_X, 30, 40, {10, 20, 140, 70}},
      {ANCHOR_SIZE_Y, 30, 40, {10, 20, 110, 110}},
      {ANCHOR_MOVE_X | ANCHOR_SIZE_X, 30, 40, {10, 20, 140, 70}},  // 5: stretches, does not move
      {ANCHOR_SIZE_X | ANCHOR_SIZE_Y, 30, 40, {10, 20, 140, 110}},  // 12: the log box
      {ANCHOR_MOVE_X | ANCHOR_MOVE_Y, -5, -8, {5, 12, 105, 62}},   // shrinking moves back
      {15, 30, 40, {10, 20, 140, 110}},
  };
  for (const Case& c : cases) {
    RECT r = AnchoredRect(start, c.flags, c.dx, c.dy);
    EXPECT_EQ(c.expected.left, r.left) << c.flags;
    EXPECT_EQ(c.expected.top, r.top) << c.flags;
    EXPECT_EQ(c.expected.right, r.right) << c.flags;
    EXPECT_EQ(c.expected.bottom, r.bottom) << c.flags;
  }
}

}  // namespace
