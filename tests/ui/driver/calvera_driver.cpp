// calvera-driver: drives calvera's windows from outside, for the tests under Wine.
//
//   calvera-driver COMMAND TARGET [ARGS...]
//
// TARGET picks a visible top-level dialog window (class "#32770"):
//   main    caption "Calvera" with the log box (1002)
//   prompt  caption "Calvera" with the instruction text (1009)
//   msgbox  caption "Calvera" with a message-box text (0xFFFF)
//   about   caption "About Calvera"
// Commands (times in ms; each prints its answer on stdout and exits 0, or explains on stderr and
// exits 1):
//   wait T [ms]               until T exists; prints its handle
//   gone T [ms]               until no T exists
//   count T                   how many T exist
//   text T ID                 text of control ID (ID "msg" = the message-box text)
//   wait-text T ID SUB [ms]   until the text of ID contains SUB; prints the text
//   click T ID                presses button ID (BM_CLICK, posted)
//   enabled T ID | visible T ID        1 or 0
//   combo T ID                the items, one a line, then "selected=N"
//   select T ID TEXT          selects TEXT in combo box ID and tells the dialog
//   syscmd T CMD              posts WM_SYSCOMMAND CMD
//   key T VK                  posts WM_KEYDOWN/WM_KEYUP of virtual key VK to T's focus window
//   focus T                   id of the control of T that has the keyboard focus
//   size T W H                asks for an outer size of W x H
//   rect T [ID]               "left top right bottom": T on screen, or control ID in T's client area
//   client T                  "width height" of T's client area
//   minimize T | iconic T | foreground T
//   close T                   posts WM_CLOSE
//   make-images DIR [ID]      writes DIR\SYSTEM\targets.txt, il.bin and core.bin (valid images)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image_check.h"

namespace {

constexpr int kDefaultWaitMs = 10000;
constexpr int kPollMs = 20;
constexpr int kMessageTextId = 0xFFFF;

struct Finder {
  std::string target;
  std::vector<HWND> found;
};

bool Matches(HWND hwnd, const std::string& target) {
  if (!IsWindowVisible(hwnd)) return false;
  char cls[64] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  if (std::strcmp(cls, "#32770") != 0) return false;
  char caption[256] = {};
  GetWindowTextA(hwnd, caption, sizeof caption);
  if (target == "about") return std::strcmp(caption, "About Calvera") == 0;
  if (std::strcmp(caption, "Calvera") != 0) return false;
  if (target == "main") return GetDlgItem(hwnd, 1002) != nullptr;
  if (target == "prompt") return GetDlgItem(hwnd, 1009) != nullptr;
  if (target == "msgbox") {
    return GetDlgItem(hwnd, kMessageTextId) != nullptr && GetDlgItem(hwnd, 1002) == nullptr &&
           GetDlgItem(hwnd, 1009) == nullptr;
  }
  return false;
}

BOOL CALLBACK Collect(HWND hwnd, LPARAM param) {
  Finder* finder = reinterpret_cast<Finder*>(param);
  if (Matches(hwnd, finder->target)) finder->found.push_back(hwnd);
  return TRUE;
}

std::vector<HWND> FindAll(const std::string& target) {
  Finder finder{target, {}};
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&finder));
  return finder.found;
}

HWND WaitFor(const std::string& target, int ms) {
  for (int waited = 0;; waited += kPollMs) {
    std::vector<HWND> all = FindAll(target);
    if (!all.empty()) return all.front();
    if (waited >= ms) return nullptr;
    Sleep(kPollMs);
  }
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "calvera-driver: %s\n", why.c_str());
  return 1;
}

int ControlId(const char* text) {
  if (std::strcmp(text, "msg") == 0) return kMessageTextId;
  return static_cast<int>(std::strtol(text, nullptr, 0));
}

std::string ControlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return std::string();
  int length = static_cast<int>(SendMessageA(control, WM_GETTEXTLENGTH, 0, 0));
  std::vector<char> buffer(static_cast<size_t>(length) + 2, '\0');
  SendMessageA(control, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
  return buffer.data();
}

// ---- image files for the simulated runs ----

bool WriteImage(const std::string& path, uint32_t magic, const std::vector<uint8_t>& body,
                uint32_t flags) {
  ImageHeader header;
  header.magic = magic;
  header.total_size = kImageHeaderSize + static_cast<uint32_t>(body.size());
  header.load_address = 0;
  header.entry_offset = 0;
  header.format_flags = flags;
  CalcCrc(body.data(), static_cast<uint32_t>(body.size()), header.body_check);
  header.header_crc = CalcHeaderCrc(header);
  uint8_t bytes[kImageHeaderSize];
  header.Serialize(bytes);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes &&
            std::fwrite(body.data(), 1, body.size(), file) == body.size();
  return std::fclose(file) == 0 && ok;
}

int MakeImages(const std::string& dir, const std::string& pattern) {
  std::string system = dir + "\\SYSTEM";
  CreateDirectoryA(dir.c_str(), nullptr);
  CreateDirectoryA(system.c_str(), nullptr);
  std::vector<uint8_t> loader(2048);
  for (size_t i = 0; i < loader.size(); ++i) loader[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint8_t> core(70000);  // two banks, well compressible
  for (size_t i = 0; i < core.size(); ++i) core[i] = static_cast<uint8_t>("Calvera core image "[i % 19]);
  if (!WriteImage(system + "\\il.bin", ILOADER_MAGIC, loader, 0)) return Fail("cannot write il.bin");
  if (!WriteImage(system + "\\core.bin", OSCORE_MAGIC, core, 1)) return Fail("cannot write core.bin");
  FILE* table = std::fopen((system + "\\targets.txt").c_str(), "wb");
  if (table == nullptr) return Fail("cannot write targets.txt");
  std::fprintf(table, "# test rig\r\n%s il.bin core.bin\r\n", pattern.c_str());
  std::fclose(table);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Fail("usage: calvera-driver COMMAND TARGET [ARGS...]");
  const std::string command = argv[1];
  const std::string target = argv[2];
  auto arg = [&](int i, const char* fallback) -> std::string {
    return i < argc ? argv[i] : (fallback != nullptr ? fallback : "");
  };
  auto ms = [&](int i) { return i < argc ? std::atoi(argv[i]) : kDefaultWaitMs; };

  if (command == "make-images") return MakeImages(target, arg(3, "*"));

  if (command == "wait") {
    HWND hwnd = WaitFor(target, ms(3));
    if (hwnd == nullptr) return Fail("no " + target + " window");
    std::printf("%p\n", static_cast<void*>(hwnd));
    return 0;
  }
  if (command == "gone") {
    for (int waited = 0;; waited += kPollMs) {
      if (FindAll(target).empty()) return 0;
      if (waited >= ms(3)) return Fail(target + " window still there");
      Sleep(kPollMs);
    }
  }
  if (command == "count") {
    std::printf("%u\n", static_cast<unsigned>(FindAll(target).size()));
    return 0;
  }

  HWND hwnd = WaitFor(target, 2000);
  if (hwnd == nullptr) return Fail("no " + target + " window");

  if (command == "text") {
    std::printf("%s\n", ControlText(hwnd, ControlId(arg(3, "0").c_str())).c_str());
    return 0;
  }
  if (command == "wait-text") {
    int id = ControlId(arg(3, "0").c_str());
    std::string sub = arg(4, "");
    std::string text;
    for (int waited = 0;; waited += kPollMs) {
      text = ControlText(hwnd, id);
      if (text.find(sub) != std::string::npos) break;
      if (waited >= ms(5)) {
        std::printf("%s\n", text.c_str());
        return Fail("text never contained: " + sub);
      }
      Sleep(kPollMs);
    }
    std::printf("%s\n", text.c_str());
    return 0;
  }
  if (command == "click") {
    HWND button = GetDlgItem(hwnd, ControlId(arg(3, "1").c_str()));
    if (button == nullptr) return Fail("no such button");
    PostMessageA(button, BM_CLICK, 0, 0);
    return 0;
  }
  if (command == "enabled" || command == "visible") {
    HWND control = GetDlgItem(hwnd, ControlId(arg(3, "1").c_str()));
    if (control == nullptr) return Fail("no such control");
    bool yes = command == "enabled" ? IsWindowEnabled(control) : IsWindowVisible(control);
    std::printf("%d\n", yes ? 1 : 0);
    return 0;
  }
  if (command == "combo") {
    HWND combo = GetDlgItem(hwnd, ControlId(arg(3, "0").c_str()));
    int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      wchar_t item[256] = {};
      SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
      char narrow[256] = {};
      WideCharToMultiByte(CP_ACP, 0, item, -1, narrow, sizeof narrow, nullptr, nullptr);
      std::printf("%s\n", narrow);
    }
    std::printf("selected=%d\n", static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)));
    return 0;
  }
  if (command == "select") {
    int id = ControlId(arg(3, "0").c_str());
    HWND combo = GetDlgItem(hwnd, id);
    std::string text = arg(4, "");
    if (SendMessageA(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str())) == CB_ERR) {
      return Fail("no item " + text);
    }
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return 0;
  }
  if (command == "syscmd") {
    PostMessageA(hwnd, WM_SYSCOMMAND, static_cast<WPARAM>(std::strtoul(arg(3, "0").c_str(), nullptr, 0)), 0);
    return 0;
  }
  if (command == "key") {
    WPARAM vk = static_cast<WPARAM>(std::strtoul(arg(3, "0").c_str(), nullptr, 0));
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    HWND focus = hwnd;
    DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr) focus = info.hwndFocus;
    PostMessageA(focus, WM_KEYDOWN, vk, 1);
    PostMessageA(focus, WM_KEYUP, vk, 0xC0000001);
    return 0;
  }
  if (command == "focus") {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
    if (!GetGUIThreadInfo(thread, &info) || info.hwndFocus == nullptr) return Fail("no focus");
    HWND focus = info.hwndFocus;
    while (focus != nullptr && GetParent(focus) != hwnd) focus = GetParent(focus);  // combo's edit
    std::printf("%d\n", focus != nullptr ? GetDlgCtrlID(focus) : -1);
    return 0;
  }
  if (command == "size") {
    SetWindowPos(hwnd, nullptr, 0, 0, std::atoi(arg(3, "0").c_str()), std::atoi(arg(4, "0").c_str()),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return 0;
  }
  if (command == "rect") {
    RECT rect;
    if (argc > 3) {
      HWND control = GetDlgItem(hwnd, ControlId(argv[3]));
      if (control == nullptr) return Fail("no such control");
      GetWindowRect(control, &rect);
      MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&rect), 2);
    } else {
      GetWindowRect(hwnd, &rect);
    }
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return 0;
  }
  if (command == "client") {
    RECT rect;
    GetClientRect(hwnd, &rect);
    std::printf("%ld %ld\n", rect.right, rect.bottom);
    return 0;
  }
  if (command == "minimize") {
    ShowWindowAsync(hwnd, SW_MINIMIZE);
    return 0;
  }
  if (command == "iconic") {
    std::printf("%d\n", IsIconic(hwnd) ? 1 : 0);
    return 0;
  }
  if (command == "foreground") {
    std::printf("%d\n", GetForegroundWindow() == hwnd ? 1 : 0);
    return 0;
  }
  if (command == "close") {
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
    return 0;
  }
  return Fail("unknown command " + command);
}
