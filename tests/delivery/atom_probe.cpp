// atom-probe: looks up every record of a saved trace file in the global atom table. A viewer that
// released its atoms leaves none of them behind.
//
//   atom-probe FILE    prints "checked N left M" and each record still in the table;
//                      exit 0 when none is left, 1 when some are, 2 when FILE cannot be read.
//   atom-probe --send  sends two records to the viewer through the program's own trace channel:
//                      one too long for an atom (it arrives with no atom), then a short one.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "trace.h"
#include "trace_receiver_win32.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--send") {
    CViewerTraceReceiver viewer;
    if (!viewer.IsListening()) {
      std::fprintf(stderr, "atom-probe: no viewer\n");
      return 2;
    }
    SetTraceReceiver(&viewer);
    TraceOut(kTraceChannel, kTraceId, "[AtomProbe] %s", std::string(300, 'x').c_str());
    TraceOut(kTraceChannel, kTraceId, "[AtomProbe] short record");
    SetTraceReceiver(nullptr);
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: atom-probe FILE | --send\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "atom-probe: cannot read %s\n", argv[1]);
    return 2;
  }
  int checked = 0, left = 0;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string record = line.substr(tab + 1) + "\r\n";  // the atom's name as the sender made it
    if (record.size() > 255) continue;
    ++checked;
    if (GlobalFindAtomA(record.c_str()) != 0) {
      ++left;
      std::printf("left: %s", record.c_str());
    }
  }
  std::printf("checked %d left %d\n", checked, left);
  return left == 0 ? 0 : 1;
}
