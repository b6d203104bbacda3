#include "resizable_dlg.h"

#include "resource.h"

RECT AnchoredRect(RECT rect, int flags, int dx, int dy) {
  if (flags & ANCHOR_SIZE_X) {
    rect.right += dx;
  } else if (flags & ANCHOR_MOVE_X) {
    rect.left += dx;
    rect.right += dx;
  }
  if (flags & ANCHOR_SIZE_Y) {
    rect.bottom += dy;
  } else if (flags & ANCHOR_MOVE_Y) {
    rect.top += dy;
    rect.bottom += dy;
  }
  return rect;
}

CResizableDlg::CResizableDlg(int templateId, HWND parent)
    : CDialogBase(templateId, parent),
      icon_(::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

void CResizableDlg::AddAnchor(int controlId, int flags) {
  if ((flags & 0xFFFF) == 0) return;
  anchors_.push_back((static_cast<uint32_t>(flags & 0xFFFF) << 16) |
                     static_cast<uint32_t>(controlId & 0xFFFF));
}

bool CResizableDlg::IsResizable() const {
  return hwnd_ != nullptr && (::GetWindowLongA(hwnd_, GWL_STYLE) & WS_THICKFRAME) != 0;
}

BOOL CResizableDlg::OnInitDialog() {
  // The dialog exists at its created size: that is the smallest it may become, and the size the
  // first change is measured from (the size notifications of the creation came before binding).
  RECT window;
  ::GetWindowRect(hwnd_, &window);
  minTrackWidth_ = window.right - window.left;
  minTrackHeight_ = window.bottom - window.top;
  RECT client;
  ::GetClientRect(hwnd_, &client);
  previousWidth_ = client.right;
  previousHeight_ = client.bottom;
  ::SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  ::SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  return TRUE;
}

LRESULT CResizableDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_GETMINMAXINFO:
      if (minTrackWidth_ != 0) {
        MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = minTrackWidth_;
        info->ptMinTrackSize.y = minTrackHeight_;
        return 0;
      }
      return CallDefault(message, wParam, lParam);
    case WM_SIZE: {
      LRESULT result = CallDefault(message, wParam, lParam);
      OnSize(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
      return result;
    }
    case WM_PAINT:
      OnPaintBase();
      return 0;
    case WM_NCHITTEST:
      return OnNcHitTest(lParam);
    case WM_HELP:
      return TRUE;
    default:
      return CDialogBase::WindowProc(message, wParam, lParam);
  }
}

void CResizableDlg::OnSize(UINT type, int cx, int cy) {
  if (type == SIZE_MINIMIZED) return;
  int dx = cx - previousWidth_;
  int dy = cy - previousHeight_;
  if (previousWidth_ != 0) {
    for (uint32_t entry : anchors_) {
      HWND control = ::GetDlgItem(hwnd_, static_cast<int>(entry & 0xFFFF));
      if (control == nullptr) continue;
      RECT rect;
      ::GetWindowRect(control, &rect);
      ::MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rect), 2);
      rect = AnchoredRect(rect, static_cast<int>(entry >> 16), dx, dy);
      ::MoveWindow(control, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, TRUE);
      ::RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
  }
  previousWidth_ = cx;
  previousHeight_ = cy;
  if (IsResizable()) ::RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CResizableDlg::OnPaintBase() {
  CallDefault(WM_PAINT, 0, 0);
  if (IsResizable()) DrawGripLines();
}

void CResizableDlg::DrawGripLines() {
  RECT client;
  ::GetClientRect(hwnd_, &client);
  HDC dc = ::GetDC(hwnd_);
  if (dc == nullptr) return;
  HPEN pen = ::CreatePen(PS_SOLID, 1, ::GetSysColor(COLOR_3DDKSHADOW));
  HGDIOBJ previous = ::SelectObject(dc, pen);
  const int steps[] = {2, 3, 6, 7, 10, 11};
  for (int k : steps) {
    ::MoveToEx(dc, client.right - k, client.bottom, nullptr);
    ::LineTo(dc, client.right, client.bottom - k);
  }
  ::SelectObject(dc, previous);
  ::DeleteObject(pen);
  ::ReleaseDC(hwnd_, dc);
}

LRESULT CResizableDlg::OnNcHitTest(LPARAM lParam) {
  LRESULT hit = CallDefault(WM_NCHITTEST, 0, lParam);
  if (hit == HTCLIENT && IsResizable()) {
    RECT window;
    ::GetWindowRect(hwnd_, &window);
    RECT grip = {window.right - ::GetSystemMetrics(SM_CXHSCROLL),
                 window.bottom - ::GetSystemMetrics(SM_CYVSCROLL), window.right, window.bottom};
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (::PtInRect(&grip, point)) return HTBOTTOMRIGHT;
  }
  return hit;
}
