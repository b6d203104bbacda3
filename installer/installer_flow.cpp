#include "installer_flow.h"

#include <climits>
#include <cstring>

namespace velmora {

// "致命的なエラー: MFC の初期化ができませんでした。\n" in code page 932.
const char kFrameworkFailureText[] =
    "\x92\x76\x96\xbd\x93\x49\x82\xc8\x83\x47\x83\x89\x81\x5b\x3a\x20\x4d\x46\x43\x20\x82\xcc"
    "\x8f\x89\x8a\xfa\x89\xbb\x82\xaa\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5"
    "\x82\xbd\x81\x42\x0a";
const std::size_t kFrameworkFailureTextLength = sizeof(kFrameworkFailureText) - 1;

namespace {

constexpr unsigned kErrorBox = kMbOk | kMbIconHand;

int Fail(IInstallerPlatform& platform, unsigned messageId) {
  ShowMessage(platform, messageId, kErrorBox);
  return kExitNotInstalled;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int RunInstallerFlow(IInstallerPlatform& platform) {
  // 1. Start-up: resources and caption.
  if (!platform.StartFramework()) {
    platform.WriteConsoleBytes(kFrameworkFailureText, kFrameworkFailureTextLength);
    return kExitNotInstalled;
  }

  // 2. The console stays hidden from here on.
  platform.HideConsoleWindow();

  // 3. One installer at a time; the guard is held until the function returns.
  const std::string mutexName = LoadMessageText(platform, IDS_INSTANCE_MUTEX_NAME);
  std::unique_ptr<IInstanceGuard> guard;
  std::uint32_t creationError = kErrorAlreadyExists;  // an empty name counts as taken
  if (!mutexName.empty()) {
    guard = platform.CreateInstanceGuard(mutexName);
    creationError = guard ? guard->CreationError() : 0;
  }
  if (creationError == kErrorAlreadyExists) {
    return Fail(platform, IDS_ANOTHER_INSTALLER_RUNNING);
  }

  // 4. The setup program must lie beside the installer.
  std::string folder;
  platform.GetModuleFolder(folder);
  const std::string setupPath = BuildSetupPath(folder);
  if (!platform.FileExists(setupPath)) {
    return Fail(platform, IDS_SETUP_NOT_FOUND);
  }

  // 5. Notice, shown on every run that gets here.
  ShowMessage(platform, IDS_REMOVE_UNIT, kMbOk | kMbIconInformation);

  // 6. No panel or link cable may be plugged in.
  if (IsDevicePresent(platform)) {
    if (ShowMessage(platform, IDS_CABLE_CONNECTED, kMbOkCancel | kMbIconExclamation) != kIdOk ||
        !WaitForDeviceRemoval(platform)) {
      return Fail(platform, IDS_INSTALL_ABORTED);
    }
  }

  // 7. An installed package is replaced only when it is not newer.
  if (IsDriverInstalled(platform)) {
    const std::string installed = GetInstalledVersion(platform);
    const std::string carried = GetFileVersionString(platform, setupPath);
    if (!IsVersionNotOlder(carried, installed)) {
      ShowMessage(platform, IDS_NEWER_INSTALLED, kMbOk | kMbIconInformation);
      return kExitNotInstalled;
    }
    if (ShowMessage(platform, IDS_ALREADY_INSTALLED, kMbOkCancel | kMbIconInformation) != kIdOk) {
      return Fail(platform, IDS_INSTALL_ABORTED);
    }
    if (!UninstallDriver(platform)) {
      return Fail(platform, IDS_UNINSTALL_FAILED);
    }
  }

  // 8. Install.
  if (!RunDriverSetup(platform, setupPath)) {
    return Fail(platform, IDS_INSTALL_FAILED);
  }
  ShowMessage(platform, IDS_INSTALL_COMPLETE, kMbOk | kMbIconInformation);
  return kExitInstalled;
}

bool WaitForDeviceRemoval(IInstallerPlatform& platform) {
  while (IsDevicePresent(platform)) {
    if (ShowMessage(platform, IDS_CABLE_CONNECTED, kMbOkCancel | kMbIconExclamation) != kIdOk) {
      return false;
    }
  }
  return true;
}

bool IsDevicePresent(IInstallerPlatform& platform) {
  bool found = false;
  platform.ForEachPresentUsbDevice([&found](const std::string& description) {
    // Exact comparison: no case folding, no trimming.
    found = description == g_strLinkCableDesc || description == g_strDeviceDesc;
    return found;
  });
  return found;
}

bool IsDriverInstalled(IInstallerPlatform& platform) {
  return platform.ReadMachineValue(g_strUninstallKey, kDisplayVersionValue).present;
}

std::string GetInstalledVersion(IInstallerPlatform& platform) {
  const RegistryValue value = platform.ReadMachineValue(g_strUninstallKey, kDisplayVersionValue);
  if (!value.present || !value.read) {
    return std::string();
  }
  return value.data.substr(0, value.data.find('\0'));
}

std::string GetFileVersionString(IInstallerPlatform& platform, const std::string& path) {
  const std::string raw = platform.ReadFileVersionText(path);
  return TrimVersionText(raw.substr(0, raw.find('\0')));
}

bool UninstallDriver(IInstallerPlatform& platform) {
  // The Windows Installer runs elevated: only the one in the system folder is trusted, never a
  // program of that name found in the current folder or beside the installer.
  const std::string msiexec = MsiexecPathIn(platform.GetSystemFolder());
  if (msiexec.empty()) {
    return false;
  }
  const ProcessResult result = platform.RunAndWait(msiexec, MakeUninstallParameters());
  return result.started && result.exitCode == 0;
}

bool RunDriverSetup(IInstallerPlatform& platform, const std::string& path) {
  const ProcessResult result = platform.RunAndWait(path, kSetupParameters);
  return result.started && result.exitCode == 0;
}

std::string LoadMessageText(IInstallerPlatform& platform, unsigned id) {
  return platform.LoadText(id);
}

int ShowMessage(IInstallerPlatform& platform, unsigned id, unsigned style) {
  return platform.ShowMessageBox(LoadMessageText(platform, id), style);
}

std::int32_t VersionFieldNumber(const std::string& field) {
  std::size_t i = 0;
  while (i < field.size() && IsSpace(field[i])) {
    ++i;
  }
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    value = value * 10 + (field[i] - '0');
    if (value > static_cast<long long>(INT32_MAX) + 1) {
      value = static_cast<long long>(INT32_MAX) + 1;  // saturate; keeps going past the digits
    }
  }
  if (negative) {
    value = -value;
  }
  if (value > INT32_MAX) {
    value = INT32_MAX;
  }
  return static_cast<std::int32_t>(value);
}

bool IsVersionNotOlder(const std::string& candidate, const std::string& installed) {
  // Iterative form of the recursive rule: each round drops the common head. The texts are walked
  // by position (no copies, no erasing from the front), so a long text costs linear time.
  // Two remaining texts that are equal drop head after head until both lack a period; that is
  // where equality is detected.
  std::size_t a = 0;
  std::size_t b = 0;
  for (;;) {
    const std::size_t dotA = candidate.find('.', a);
    const std::size_t dotB = installed.find('.', b);
    const std::size_t lengthA = (dotA == std::string::npos ? candidate.size() : dotA) - a;
    const std::size_t lengthB = (dotB == std::string::npos ? installed.size() : dotB) - b;
    if (lengthA != lengthB || candidate.compare(a, lengthA, installed, b, lengthB) != 0) {
      return VersionFieldNumber(candidate.substr(a, lengthA)) >= VersionFieldNumber(installed.substr(b, lengthB));
    }
    if (dotA == std::string::npos && dotB == std::string::npos) {
      return true;
    }
    // A text without a period is its own tail.
    if (dotA != std::string::npos) {
      a = dotA + 1;
    }
    if (dotB != std::string::npos) {
      b = dotB + 1;
    }
  }
}

std::string TrimVersionText(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) {
    ++begin;
  }
  while (end > begin && IsSpace(text[end - 1])) {
    --end;
  }
  return text.substr(begin, end - begin);
}

std::string ModuleFolderFromPath(const std::string& modulePath) {
  const std::size_t cut = modulePath.find_last_of("\\/");
  if (cut == std::string::npos) {
    return std::string();
  }
  return modulePath.substr(0, cut + 1);
}

std::string BuildSetupPath(const std::string& folder) {
  return folder + "\\" + g_strSetupFileName;
}

std::string MakeUninstallParameters() {
  return std::string("/x ") + g_strProductCode + " /qb! STATE=Remove";
}

std::string MsiexecPathIn(const std::string& systemFolder) {
  if (systemFolder.empty()) {
    return std::string();
  }
  std::string path = systemFolder;
  if (path.back() != '\\' && path.back() != '/') {
    path += '\\';
  }
  return path + kMsiexecFileName;
}

std::string StringFileInfoPath(std::uint16_t language, std::uint16_t codePage) {
  static const char kHex[] = "0123456789abcdef";
  std::string path = "\\StringFileInfo\\";
  for (const std::uint16_t word : {language, codePage}) {
    for (int shift = 12; shift >= 0; shift -= 4) {
      path += kHex[(word >> shift) & 0xF];
    }
  }
  return path + "\\FileVersion";
}

std::u16string StringTableEntry(const unsigned char* block, std::size_t bytes, unsigned id) {
  const unsigned position = id % 16;
  std::size_t offset = 0;
  for (unsigned index = 0;; ++index) {
    if (block == nullptr || offset + 2 > bytes) {
      return std::u16string();
    }
    const std::size_t length = block[offset] | (block[offset + 1] << 8);
    offset += 2;
    if (index == position) {
      if (offset + 2 * length > bytes) {
        return std::u16string();
      }
      std::u16string text;
      text.reserve(length);
      for (std::size_t i = 0; i < length; ++i) {
        text += static_cast<char16_t>(block[offset + 2 * i] | (block[offset + 2 * i + 1] << 8));
      }
      return text;
    }
    offset += 2 * length;
  }
}

}  // namespace velmora
