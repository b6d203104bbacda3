// Which string the main dialog shows for a run's result (0: no message box).
#pragma once

inline int ResultMessageId(int code) {
  switch (code) {
    case 0:
    case -32768:
      return 0;
    case -8:
      return 1005;
    case -7:
      return 1004;
    case -6:
      return 1003;
    case -5:
      return 1002;
    case -4:
    case -3:
    case -2:
      return 1001;
    default:
      return 1000;
  }
}
