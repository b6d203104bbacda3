// The operator's message texts of calvera by string number (the same texts as the program's string
// table), and which message a run's result shows. Portable: the Windows dialog has them as string
// resources, calvera-cli and the tests take them from here.
#pragma once

// String numbers.
constexpr int kStrAboutMenu = 200;
constexpr int kStrPromptPowerOff = 201;
constexpr int kStrPromptConnect = 202;
constexpr int kStrDipSwitchBack = 203;
constexpr int kStrResultFailed = 1000;
constexpr int kStrResultCheckCable = 1001;
constexpr int kStrResultOtherProduct = 1002;
constexpr int kStrResultModelRefused = 1003;
constexpr int kStrResultNotSupported = 1004;
constexpr int kStrResultSourceFile = 1005;

// The text of a string number ("\r\n" inside a text is a line break); null for an unknown number.
inline const char* OperatorString(int id) {
  switch (id) {
    case kStrAboutMenu:
      return "&About Calvera...";
    case kStrPromptPowerOff:
      return "Please turn off the Target.";
    case kStrPromptConnect:
      return "Please connect the PC to the target using the exclusive serial transmission cable.\r\n"
             "If the target is not QRV5170K, please set No.3 of the DIP switch beside the CF-Card slot to ON "
             "before turning on the target.";
    case kStrDipSwitchBack:
      return "If the target is not QRV5170K, please turn No.3 of the DIP switch beside the CF-Card slot back to "
             "its OFF position.";
    case kStrResultFailed:
      return "Transfer failed.";
    case kStrResultCheckCable:
      return "Transfer failed.\r\nAfter confirming the cable, communication settings, and the DIP switch, transfer "
             "the data again.";
    case kStrResultOtherProduct:
      return "Transfer failed.\r\nA product different from Stellan has been installed.";
    case kStrResultModelRefused:
      return "Transmission with this Target cannot be performed.";
    case kStrResultNotSupported:
      return "Target is not supported.";
    case kStrResultSourceFile:
      return "Transfer source file not found or broken.";
    default:
      return nullptr;
  }
}

// The string a run's result shows in its message box; 0 for none (success, or the operator
// cancelled).
inline int ResultStringId(int result) {
  switch (result) {
    case 0:
    case -32768:
      return 0;
    case -8:
      return kStrResultSourceFile;
    case -7:
      return kStrResultNotSupported;
    case -6:
      return kStrResultModelRefused;
    case -5:
      return kStrResultOtherProduct;
    case -4:
    case -3:
    case -2:
      return kStrResultCheckCable;
    default:
      return kStrResultFailed;
  }
}
