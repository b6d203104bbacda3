#include "port_list.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char* const kKinds[] = {"ttyS", "ttyUSB", "ttyACM"};

std::string FirstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// The number after the kind's name, or -1 when the rest is not all digits.
long NumberAfter(const std::string& name, const std::string& kind) {
  if (name.size() <= kind.size() || name.compare(0, kind.size(), kind) != 0) return -1;
  const std::string digits = name.substr(kind.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return -1;
  return std::strtol(digits.c_str(), nullptr, 10);
}

// Walks up from the tty's device folder to the USB device (the folder with idVendor).
std::string UsbDescription(const fs::path& ttyClassDir) {
  std::error_code ec;
  fs::path dir = fs::canonical(ttyClassDir / "device", ec);
  if (ec) return std::string();
  for (int up = 0; up < 5 && !dir.empty() && dir != dir.root_path(); ++up, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    std::string text = FirstLine(dir / "idVendor") + ":" + FirstLine(dir / "idProduct");
    for (const char* field : {"manufacturer", "product"}) {
      const std::string value = FirstLine(dir / field);
      if (!value.empty()) text += " " + value;
    }
    const std::string serial = FirstLine(dir / "serial");
    if (!serial.empty()) text += " serial " + serial;
    return text;
  }
  return std::string();
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const std::string& devRoot, const std::string& sysRoot) {
  struct Found {
    int kind;
    long number;
    SerialPortInfo info;
  };
  std::vector<Found> found;
  std::error_code ec;
  const fs::path ttyClass = fs::path(sysRoot) / "class" / "tty";
  for (fs::directory_iterator it(devRoot, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    for (int kind = 0; kind < 3; ++kind) {
      const long number = NumberAfter(name, kKinds[kind]);
      if (number < 0) continue;
      const fs::path classDir = ttyClass / name;
      if (kind == 0) {
        // A ttyS with no UART behind it (type 0, or no sysfs entry) is no port.
        const std::string type = FirstLine(classDir / "type");
        if (type.empty() || std::strtol(type.c_str(), nullptr, 10) == 0) break;
      }
      found.push_back({kind, number, {(fs::path(devRoot) / name).string(), kind == 0 ? "" : UsbDescription(classDir)}});
      break;
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
  });
  std::vector<SerialPortInfo> ports;
  for (Found& f : found) ports.push_back(std::move(f.info));
  return ports;
}
