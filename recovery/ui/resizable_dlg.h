// CResizableDlg: a dialog whose anchored controls follow or stretch with the right and bottom
// edges, that cannot be made smaller than it was created, with a size grip in the bottom-right
// corner, the program icon, and F1 swallowed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "dialog_base.h"

constexpr int ANCHOR_MOVE_X = 1;
constexpr int ANCHOR_MOVE_Y = 2;
constexpr int ANCHOR_SIZE_X = 4;
constexpr int ANCHOR_SIZE_Y = 8;

// Where an anchored control goes when the client area grows by dx, dy (pure arithmetic).
RECT AnchoredRect(RECT rect, int flags, int dx, int dy);

class CResizableDlg : public CDialogBase {
 public:
  CResizableDlg(int templateId, HWND parent);

  // Flags in the high 16 bits, the control id in the low 16 bits; flags 0 add nothing.
  void AddAnchor(int controlId, int flags);
  bool IsResizable() const;

 protected:
  BOOL OnInitDialog() override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Default painting and the grip lines.
  void OnPaintBase();

  HICON icon_;

 private:
  void OnSize(UINT type, int cx, int cy);
  LRESULT OnNcHitTest(LPARAM lParam);
  void DrawGripLines();

  int previousWidth_ = 0;
  int previousHeight_ = 0;
  std::vector<uint32_t> anchors_;
  int minTrackWidth_ = 0;
  int minTrackHeight_ = 0;
};
