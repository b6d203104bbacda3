// CAboutDlg: the About box (template 100); OK and Escape close it.
#pragma once

#include "dialog_base.h"
#include "resource.h"

class CAboutDlg : public CDialogBase {
 public:
  explicit CAboutDlg(HWND parent) : CDialogBase(IDD_ABOUTBOX, parent) {}
};
