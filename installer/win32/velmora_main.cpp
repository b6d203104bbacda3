// velmora.exe entry point. The program takes no arguments.
#include "installer_win32.h"

int main() {
  velmora::HardenLibraryLoading();
  return velmora::RunInstaller();
}
