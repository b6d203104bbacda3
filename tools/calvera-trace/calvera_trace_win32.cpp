// calvera-trace: the trace viewer. A window of class "_QTVIEW_EXE_MUTEX_" that receives the
// calvera engine's trace records (message 1025, wParam a global atom whose name is the record),
// releases each atom once read, and lists the records with the time they arrived.
//
//   calvera-trace.exe                  opens the viewer (a second start brings the first to the front)
//   calvera-trace.exe --save FILE      tells the running viewer to save its records to FILE
//   calvera-trace.exe --clear          tells the running viewer to empty its list
//   calvera-trace.exe --status         prints the running viewer's counts
//   calvera-trace.exe --help | --version
//
// Exit status: 0 done; 1 usage error; 2 no viewer is running; 3 the viewer could not write FILE.
#include <windows.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "calvera_trace_version.h"
#include "trace_record_list.h"

namespace {

constexpr char kViewerClass[] = "_QTVIEW_EXE_MUTEX_";
constexpr char kViewerTitle[] = "Calvera Trace";
constexpr UINT kTraceMessage = WM_USER + 1;  // 1025
constexpr int kAtomNameMax = 256;            // 255 characters and the terminator

// Controls.
constexpr int kIdList = 1001;
constexpr int kIdSave = 1002;
constexpr int kIdClear = 1003;
constexpr int kIdStatus = 1004;

// Requests of the command-line client (WM_COPYDATA dwData).
constexpr ULONG_PTR kRequestSave = 1;        // lpData: the file name; answer: records written, or -1
constexpr ULONG_PTR kRequestClear = 2;       // answer: 0
constexpr ULONG_PTR kRequestRecords = 3;     // answer: records in the list
constexpr ULONG_PTR kRequestLost = 4;        // answer: messages without a readable atom
constexpr ULONG_PTR kRequestUnreleased = 5;  // answer: atoms that could not be deleted
constexpr DWORD kRequestTimeoutMs = 10000;   // a viewer busy for longer than this is hung

const char kUsage[] =
    "usage: calvera-trace.exe [--save FILE | --clear | --status | --help | --version]\n"
    "\n"
    "Without options the trace viewer opens. calvera.exe sends its trace records to it while it\n"
    "runs; Save writes them to a text file, Clear empties the list.\n"
    "\n"
    "  --save FILE  the running viewer saves its records to FILE (one line per record:\n"
    "               date, receive time, TAB, record)\n"
    "  --clear      the running viewer empties its list\n"
    "  --status     prints the running viewer's counts: records, lost (messages without a\n"
    "               readable record), unreleased (records whose atom could not be deleted)\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "Exit status: 0 done; 1 usage error; 2 no viewer is running; 3 the file could not be written.\n";

ReceiveTime Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  ReceiveTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.millisecond = st.wMilliseconds;
  return t;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = text.empty() || WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  bool whole = ok && written == text.size();
  return CloseHandle(file) && whole;
}

// The viewer window: state in this object, the window procedure only dispatches.
class CTraceViewer {
 public:
  bool Create(HINSTANCE instance, int show);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  void OnCreate();
  void OnSize(int width, int height);
  void OnTraceRecord(ATOM atom);
  void OnSaveButton();
  void OnClear();
  LRESULT OnRequest(const COPYDATASTRUCT* request);
  bool Save(const std::string& path);
  void ShowLine(const std::string& line);
  void UpdateStatus();

  HWND hwnd_ = nullptr;
  HWND list_ = nullptr;
  HWND save_ = nullptr;
  HWND clear_ = nullptr;
  HWND status_ = nullptr;
  CTraceRecordList records_;
  size_t unreleased_ = 0;
};

bool CTraceViewer::Create(HINSTANCE instance, int show) {
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kViewerClass;
  if (RegisterClassExA(&wc) == 0) return false;
  HWND hwnd = CreateWindowExA(0, kViewerClass, kViewerTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              760, 420, nullptr, nullptr, instance, this);
  if (hwnd == nullptr) return false;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);
  return true;
}

LRESULT CALLBACK CTraceViewer::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<CTraceViewer*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<CTraceViewer*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT CTraceViewer::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: OnCreate(); return 0;
    case WM_SIZE: OnSize(LOWORD(lParam), HIWORD(lParam)); return 0;
    case kTraceMessage: OnTraceRecord(static_cast<ATOM>(wParam & 0xFFFF)); return 0;
    case WM_COPYDATA: return OnRequest(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_COMMAND:
      if (LOWORD(wParam) == kIdSave) OnSaveButton();
      else if (LOWORD(wParam) == kIdClear) OnClear();
      return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(hwnd_, message, wParam, lParam);
  }
}

void CTraceViewer::OnCreate() {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hwnd_, GWLP_HINSTANCE));
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HFONT fixed = static_cast<HFONT>(GetStockObject(ANSI_FIXED_FONT));
  auto child = [&](const char* cls, const char* text, DWORD style, int id) {
    HWND h = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return h;
  };
  save_ = child("BUTTON", "&Save...", BS_PUSHBUTTON | WS_TABSTOP, kIdSave);
  clear_ = child("BUTTON", "&Clear", BS_PUSHBUTTON | WS_TABSTOP, kIdClear);
  status_ = child("STATIC", "", SS_LEFT | SS_NOPREFIX, kIdStatus);
  list_ = child("LISTBOX", "", WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOSEL, kIdList);
  SendMessageA(list_, WM_SETFONT, reinterpret_cast<WPARAM>(fixed), FALSE);
  SendMessageA(list_, LB_SETHORIZONTALEXTENT, 4000, 0);
  UpdateStatus();
}

void CTraceViewer::OnSize(int width, int height) {
  const int margin = 6, buttonW = 80, buttonH = 24;
  MoveWindow(save_, margin, margin, buttonW, buttonH, TRUE);
  MoveWindow(clear_, margin * 2 + buttonW, margin, buttonW, buttonH, TRUE);
  MoveWindow(status_, margin * 4 + buttonW * 2, margin + 5, width - (margin * 5 + buttonW * 2), buttonH - 5, TRUE);
  const int top = margin * 2 + buttonH;
  MoveWindow(list_, margin, top, width - margin * 2, height - top - margin, TRUE);
}

// The atom is the record: read its name, then delete it (the sender never does).
void CTraceViewer::OnTraceRecord(ATOM atom) {
  if (atom == 0) {
    ShowLine(records_.AddLost(Now(), "longer than an atom holds, or the atom table was full"));
    return;
  }
  char name[kAtomNameMax] = {};
  UINT length = GlobalGetAtomNameA(atom, name, sizeof name);
  SetLastError(ERROR_SUCCESS);
  if (GlobalDeleteAtom(atom) != 0 || GetLastError() != ERROR_SUCCESS) ++unreleased_;
  if (length == 0) {
    ShowLine(records_.AddLost(Now(), "the atom could not be read"));
    return;
  }
  ShowLine(records_.Add(Now(), std::string(name, length)));
}

void CTraceViewer::ShowLine(const std::string& line) {
  LRESULT index = SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
  if (index >= 0) SendMessageA(list_, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
  UpdateStatus();
}

void CTraceViewer::UpdateStatus() {
  char text[160];
  std::snprintf(text, sizeof text, "%u records   %u lost   %u not released", static_cast<unsigned>(records_.Count()),
                static_cast<unsigned>(records_.LostCount()), static_cast<unsigned>(unreleased_));
  SetWindowTextA(status_, text);
}

void CTraceViewer::OnClear() {
  records_.Clear();
  unreleased_ = 0;
  SendMessageA(list_, LB_RESETCONTENT, 0, 0);
  UpdateStatus();
}

bool CTraceViewer::Save(const std::string& path) { return WriteWholeFile(path, records_.FileText()); }

void CTraceViewer::OnSaveButton() {
  char path[MAX_PATH] = "calvera-trace.txt";
  OPENFILENAMEA ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = "Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
  ofn.lpstrFile = path;
  ofn.nMaxFile = sizeof path;
  ofn.lpstrDefExt = "txt";
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (!GetSaveFileNameA(&ofn)) return;
  if (!Save(path)) {
    std::string text = std::string("The records could not be written to ") + path + ".";
    MessageBoxA(hwnd_, text.c_str(), kViewerTitle, MB_OK | MB_ICONERROR);
  }
}

LRESULT CTraceViewer::OnRequest(const COPYDATASTRUCT* request) {
  if (request == nullptr) return -1;
  switch (request->dwData) {
    case kRequestSave: {
      if (request->lpData == nullptr || request->cbData == 0) return -1;
      std::string path(static_cast<const char*>(request->lpData), request->cbData);
      path = path.c_str();  // up to the terminator the client sends
      return Save(path) ? static_cast<LRESULT>(records_.Count()) : -1;
    }
    case kRequestClear: OnClear(); return 0;
    case kRequestRecords: return static_cast<LRESULT>(records_.Count());
    case kRequestLost: return static_cast<LRESULT>(records_.LostCount());
    case kRequestUnreleased: return static_cast<LRESULT>(unreleased_);
    default: return -1;
  }
}

// ---- the command-line client ----

// A GUI program has no console of its own: write to the one it was started from, if any.
void AttachParentConsole() {
  if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
  }
}

bool Ask(HWND viewer, ULONG_PTR request, const std::string& data, LRESULT& answer) {
  COPYDATASTRUCT copy = {};
  copy.dwData = request;
  copy.cbData = static_cast<DWORD>(data.size() + 1);
  copy.lpData = const_cast<char*>(data.c_str());
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(viewer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_ABORTIFHUNG,
                           kRequestTimeoutMs, &result))
    return false;
  answer = static_cast<LRESULT>(result);
  return true;
}

int RunClient(const std::string& option, const std::string& file) {
  HWND viewer = FindWindowA(kViewerClass, nullptr);
  if (viewer == nullptr) {
    std::fprintf(stderr, "calvera-trace: no trace viewer is running\n");
    return 2;
  }
  LRESULT answer = 0;
  if (option == "--clear") return Ask(viewer, kRequestClear, "", answer) ? 0 : 2;
  if (option == "--save") {
    if (!Ask(viewer, kRequestSave, file, answer)) return 2;
    if (answer < 0) {
      std::fprintf(stderr, "calvera-trace: the viewer could not write %s\n", file.c_str());
      return 3;
    }
    std::printf("saved %ld records to %s\n", static_cast<long>(answer), file.c_str());
  }
  LRESULT records = 0, lost = 0, unreleased = 0;
  if (!Ask(viewer, kRequestRecords, "", records) || !Ask(viewer, kRequestLost, "", lost) ||
      !Ask(viewer, kRequestUnreleased, "", unreleased))
    return 2;
  std::printf("records %ld\nlost %ld\nunreleased %ld\n", static_cast<long>(records), static_cast<long>(lost),
              static_cast<long>(unreleased));
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    AttachParentConsole();
    const std::string option = argv[1];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option == "--version") {
      std::printf("calvera-trace %s\n", CALVERA_TRACE_VERSION_TEXT);
      return 0;
    }
    const bool takesFile = option == "--save";
    if ((option != "--save" && option != "--clear" && option != "--status") || argc != (takesFile ? 3 : 2)) {
      std::fprintf(stderr, "calvera-trace: unexpected arguments\n%s", kUsage);
      return 1;
    }
    return RunClient(option, takesFile ? argv[2] : "");
  }

  // One viewer per desktop: the engine posts to the first window of the class it finds.
  if (HWND running = FindWindowA(kViewerClass, nullptr)) {
    ShowWindow(running, SW_RESTORE);
    SetForegroundWindow(running);
    return 0;
  }
  CTraceViewer viewer;
  if (!viewer.Create(GetModuleHandleA(nullptr), SW_SHOWNORMAL)) return 1;
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}
