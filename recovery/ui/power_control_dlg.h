// CPowerControlMessageDlg: the small modal prompt that asks the operator to switch the target off,
// or to connect it and switch it on, and closes by itself when the line watch sees CTS change.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "dialog_base.h"

// Values of the result flag shared with the line watch.
constexpr int kPromptIdle = 0;        // closed by a command: the watch must stop
constexpr int kPromptWatching = 1;    // up and watched; at the close request: the line changed
constexpr int kPromptLineUnreadable = 2;

class CPowerControlMessageDlg : public CDialogBase {
 public:
  explicit CPowerControlMessageDlg(HWND parent);

  void SetPromptText(const std::string& text) { promptText_ = text; }
  const std::string& PromptText() const { return promptText_; }
  std::atomic<int>& ResultFlag() { return resultFlag_; }
  // Called from the prompt's initialisation, once its window exists (the line watch starts there,
  // so that a change it sees at once still finds a window to close).
  void SetOnShown(std::function<void()> onShown) { onShown_ = std::move(onShown); }

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void Finish(INT_PTR result);

  std::string promptText_;
  std::atomic<int> resultFlag_{kPromptIdle};
  std::function<void()> onShown_;
  bool finished_ = false;  // a close request that races with Cancel must not change the result
};
