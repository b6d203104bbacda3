// The string table of calvera.exe holds the same texts that calvera-cli and the tests take from
// operator_messages.h: one list of messages, two places, checked against each other here.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "operator_messages.h"

namespace {

TEST(ResourceStrings, StringTableMatchesOperatorTexts) {
  const int ids[] = {kStrAboutMenu,          kStrPromptPowerOff,     kStrPromptConnect,
                     kStrDipSwitchBack,      kStrResultFailed,       kStrResultCheckCable,
                     kStrResultOtherProduct, kStrResultModelRefused, kStrResultNotSupported,
                     kStrResultSourceFile};
  for (int id : ids) {
    char text[1024] = {};
    int length = ::LoadStringA(::GetModuleHandleA(nullptr), static_cast<UINT>(id), text, sizeof text);
    ASSERT_GT(length, 0) << "string " << id << " missing";
    ASSERT_NE(OperatorString(id), nullptr) << id;
    EXPECT_EQ(std::string(OperatorString(id)), std::string(text, static_cast<size_t>(length))) << id;
  }
}

}  // namespace
