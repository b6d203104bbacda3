// CTransApp: one copy per logged-on user; a second start brings the running copy to the front and
// ends; the first runs the main dialog modally and ends when it closes.
#pragma once

class CTransApp {
 public:
  // The start-up sequence; always false (the program ends when it returns).
  bool InitInstance();
  // The program has no help file.
  void WinHelp(unsigned long data, unsigned command) {
    (void)data;
    (void)command;
  }
};
