// velmora-boxdriver: starts a program, answers its message boxes like a person would and writes
// down what each box showed.
//
//   velmora-boxdriver TRANSCRIPT PROGRAM [ACTION...]
//
// PROGRAM starts in its own folder with a new console. For every message box (class "#32770")
// of that process, one line goes to TRANSCRIPT (UTF-8):
//   box caption=<caption> text=<text, line feeds as \n> buttons=<ids> icon=<name> -> <action>
// then the next ACTION is taken: ok, cancel (press that button), close (close the box), or
// second (start a second copy of PROGRAM now, answer its boxes with ok, write them down with the
// prefix "second ", then take the following action on this box), or unplug:<key> (delete that
// key below HKEY_LOCAL_MACHINE with its subkeys, as if the device went away, then press ok).
// When no action is left the driver presses ok. At the end: "exit <code>" with the full 32-bit exit code, or "timeout".
// The first line tells whether a console window was still visible when the first box came up.
// With SHOTS=<Unix folder> in the environment, the screen is saved there as PNG at each box.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

constexpr DWORD kRunLimitMs = 120000;   // a run that takes longer has hung
constexpr DWORD kPollMs = 50;
constexpr DWORD kPaintSettleMs = 300;   // lets a new box paint before its icon is read

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, &text[0], length + 1);
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

struct FindBoxes {
  DWORD pid;
  std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
  auto* find = reinterpret_cast<FindBoxes*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == find->pid && IsWindowVisible(window) && ClassOf(window) == L"#32770") {
    find->boxes.push_back(window);
  }
  return TRUE;
}

BOOL CALLBACK CountConsole(HWND window, LPARAM param) {
  if (IsWindowVisible(window) && ClassOf(window) == L"WineConsoleClass") {
    ++*reinterpret_cast<int*>(param);
  }
  return TRUE;
}

struct Children {
  std::vector<int> buttons;
  HWND icon = nullptr;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto* children = reinterpret_cast<Children*>(param);
  if (!IsWindowVisible(child)) return TRUE;
  const std::wstring cls = ClassOf(child);
  if (_wcsicmp(cls.c_str(), L"Button") == 0) {
    children->buttons.push_back(GetDlgCtrlID(child));
  } else if (_wcsicmp(cls.c_str(), L"Static") == 0 &&
             (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    children->icon = child;
  }
  return TRUE;
}

// Pixels of a screen rectangle, 32-bit BGRX.
std::vector<DWORD> Grab(HDC source, int x, int y, int w, int h) {
  HDC memory = CreateCompatibleDC(source);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, source, x, y, SRCCOPY);
  GdiFlush();
  std::vector<DWORD> pixels(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + w * h);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  return pixels;
}

// A system icon drawn on the given background, as it would appear in the box.
std::vector<DWORD> Reference(LPCWSTR iconId, int w, int h, DWORD background) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  std::fill(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + w * h, background);
  DrawIconEx(memory, 0, 0, LoadIconW(nullptr, iconId), w, h, 0, nullptr, DI_NORMAL);
  GdiFlush();
  std::vector<DWORD> pixels(static_cast<const DWORD*>(bits), static_cast<const DWORD*>(bits) + w * h);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

long long Distance(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
  long long sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      sum += std::abs(static_cast<int>((a[i] >> shift) & 0xFF) - static_cast<int>((b[i] >> shift) & 0xFF));
    }
  }
  return sum;
}

struct IconMatch {
  std::string name = "blank";  // blank: nothing drawn in the control yet
  long long perPixel = -1;      // mean distance to the closest system icon
};

// Compares the pixels on screen where the icon control lies with each system icon.
IconMatch MatchIcon(const RECT& rect) {
  const int w = rect.right - rect.left, h = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  const std::vector<DWORD> shown = Grab(screen, rect.left, rect.top, w, h);
  ReleaseDC(nullptr, screen);
  IconMatch match;
  const DWORD background = shown.front() & 0xFFFFFF;
  bool blank = true;
  for (DWORD p : shown) blank = blank && (p & 0xFFFFFF) == background;
  if (blank) return match;
  const struct {
    WORD id;
    const char* name;
  } icons[] = {{32513, "hand"}, {32515, "exclamation"}, {32516, "information"}, {32514, "question"}};
  for (const auto& candidate : icons) {
    const long long d =
        Distance(shown, Reference(MAKEINTRESOURCEW(candidate.id), w, h, background)) / (w * h);
    if (match.perPixel < 0 || d < match.perPixel) {
      match.perPixel = d;
      match.name = candidate.name;
    }
  }
  return match;
}

// Names the system icon that the box's icon control shows. The box is asked to paint at once;
// the answer is taken when three reads in a row agree closely with one system icon (the screen
// may still show what lay there before the box painted).
std::string IconName(HWND box, HWND icon) {
  if (!icon) return "none";
  RECT rect;
  GetWindowRect(icon, &rect);
  const int w = rect.right - rect.left, h = rect.bottom - rect.top;
  if (w <= 0 || h <= 0 || w > 256 || h > 256) return "none";
  constexpr long long kCloseEnough = 4;  // mean per-pixel distance (sum over three channels)
  constexpr int kAgreeingReads = 3;
  constexpr DWORD kReadIntervalMs = 100;
  IconMatch previous;
  int agreeing = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(kReadIntervalMs);
    const IconMatch match = MatchIcon(rect);
    const bool close = match.perPixel >= 0 && match.perPixel <= kCloseEnough;
    agreeing = close && match.name == previous.name ? agreeing + 1 : (close ? 1 : 0);
    previous = match;
    if (agreeing >= kAgreeingReads) {
      std::fprintf(stderr, "icon %s, mean distance %lld, read %d times\n", match.name.c_str(),
                   match.perPixel, attempt + 1);
      return match.name;
    }
  }
  return previous.name + "?";
}

// Saves the X screen as PNG with ImageMagick's import (a Unix program, started through Wine).
void SaveScreen(const std::string& unixFile) {
  std::string commandLine = "/usr/bin/import -window root " + unixFile;
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &process)) {
    // Wine does not follow a Unix process to its end; give import the time it needs.
    WaitForSingleObject(process.hProcess, 10000);
    Sleep(1500);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

class Driver {
 public:
  Driver(FILE* transcript, std::wstring program, std::deque<std::string> actions)
      : out_(transcript), program_(std::move(program)), actions_(std::move(actions)) {
    const char* shots = std::getenv("SHOTS");
    if (shots) shots_ = shots;
  }

  // Runs the program to its end; false when it had to be stopped.
  bool Run() {
    PROCESS_INFORMATION process;
    if (!Start(process)) {
      std::fprintf(out_, "start failed %lu\n", GetLastError());
      return false;
    }
    const bool ended = Drive(process, "", true);
    Finish(process, ended, "");
    return ended;
  }

 private:
  bool Start(PROCESS_INFORMATION& process) {
    std::wstring folder = program_.substr(0, program_.find_last_of(L"\\/") + 1);
    std::wstring commandLine = L"\"" + program_ + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(program_.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                          CREATE_NEW_CONSOLE, nullptr, folder.empty() ? nullptr : folder.c_str(),
                          &startup, &process) != FALSE;
  }

  void Finish(PROCESS_INFORMATION& process, bool ended, const std::string& prefix) {
    if (ended) {
      DWORD code = 0;
      GetExitCodeProcess(process.hProcess, &code);
      std::fprintf(out_, "%sexit %lu\n", prefix.c_str(), code);
    } else {
      std::fprintf(out_, "%stimeout\n", prefix.c_str());
      TerminateProcess(process.hProcess, 255);
    }
    std::fflush(out_);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }

  // Answers the boxes of one process until it ends.
  bool Drive(PROCESS_INFORMATION& process, const std::string& prefix, bool primary) {
    const DWORD start = GetTickCount();
    bool first = true;
    while (WaitForSingleObject(process.hProcess, kPollMs) == WAIT_TIMEOUT) {
      if (GetTickCount() - start > kRunLimitMs) return false;
      FindBoxes find{process.dwProcessId, {}};
      EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&find));
      if (find.boxes.empty()) continue;
      HWND box = find.boxes.front();
      // On top of anything else on the display, so that the screen shows this box's icon.
      SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      Sleep(kPaintSettleMs);
      if (!IsWindow(box)) continue;
      if (first && primary) {
        int consoles = 0;
        EnumWindows(CountConsole, reinterpret_cast<LPARAM>(&consoles));
        std::fprintf(out_, "console visible=%d\n", consoles);
      }
      first = false;
      Children children;
      EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
      std::sort(children.buttons.begin(), children.buttons.end());
      std::string buttons;
      for (int id : children.buttons) buttons += (buttons.empty() ? "" : ",") + std::to_string(id);
      const std::string caption = Utf8(WindowText(box));
      const std::string text = Utf8(WindowText(GetDlgItem(box, 0xFFFF)));
      const std::string icon = IconName(box, children.icon);
      if (!shots_.empty()) {
        SaveScreen(shots_ + "/" + prefix + "box" + std::to_string(++shotCount_) + ".png");
      }
      std::string action = "ok";
      if (primary && !actions_.empty()) {
        action = actions_.front();
        actions_.pop_front();
      }
      if (action == "second") {
        std::fprintf(out_, "%sbox caption=%s text=%s buttons=%s icon=%s -> second\n", prefix.c_str(),
                     caption.c_str(), Escape(text).c_str(), buttons.c_str(), icon.c_str());
        std::fflush(out_);
        PROCESS_INFORMATION second;
        if (Start(second)) {
          const bool ended = Drive(second, "second ", false);
          Finish(second, ended, "second ");
        } else {
          std::fprintf(out_, "second start failed %lu\n", GetLastError());
        }
        action = actions_.empty() ? "ok" : actions_.front();
        if (!actions_.empty()) actions_.pop_front();
        std::fprintf(out_, "%sbox (same) -> %s\n", prefix.c_str(), action.c_str());
      } else {
        std::fprintf(out_, "%sbox caption=%s text=%s buttons=%s icon=%s -> %s\n", prefix.c_str(),
                     caption.c_str(), Escape(text).c_str(), buttons.c_str(), icon.c_str(),
                     action.c_str());
      }
      std::fflush(out_);
      Press(box, action);
      // Wait for this box to go before looking for the next one.
      while (IsWindow(box) && WaitForSingleObject(process.hProcess, kPollMs) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > kRunLimitMs) return false;
      }
    }
    return true;
  }

  static void Press(HWND box, const std::string& action) {
    if (action.compare(0, 7, "unplug:") == 0) {
      const std::string key = action.substr(7);
      const std::wstring wideKey(key.begin(), key.end());
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, wideKey.c_str());
      PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
      return;
    }
    if (action == "close") {
      PostMessageW(box, WM_CLOSE, 0, 0);
      return;
    }
    const int id = action == "cancel" ? IDCANCEL : IDOK;
    HWND button = GetDlgItem(box, id);
    if (button) {
      PostMessageW(button, BM_CLICK, 0, 0);
    } else {
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
  }

  FILE* out_;
  std::wstring program_;
  std::deque<std::string> actions_;
  std::string shots_;
  int shotCount_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: velmora-boxdriver TRANSCRIPT PROGRAM [ok|cancel|close|second]...\n");
    return 2;
  }
  FILE* transcript = _wfopen(argv[1], L"wb");
  if (!transcript) return 2;
  std::deque<std::string> actions;
  for (int i = 3; i < argc; ++i) actions.push_back(Utf8(argv[i]));
  Driver driver(transcript, argv[2], actions);
  const bool ended = driver.Run();
  std::fclose(transcript);
  return ended ? 0 : 1;
}
