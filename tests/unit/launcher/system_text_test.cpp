#include "core/system_text.h"

#include <gtest/gtest.h>

namespace ot {
namespace {

TEST(SystemText, TrimsTrailingSpacesControlsAndFullStops) {
  EXPECT_EQ(TrimSystemMessage(L"Access is denied.\r\n"), L"Access is denied");
  EXPECT_EQ(TrimSystemMessage(L"There is not enough space on the disk. \r\n"),
            L"There is not enough space on the disk");
  EXPECT_EQ(TrimSystemMessage(L"v1.2 ok"), L"v1.2 ok");  // inner full stops stay
  EXPECT_EQ(TrimSystemMessage(L"...\r\n \t"), L"");
  EXPECT_EQ(TrimSystemMessage(L""), L"");
}

TEST(SystemText, FillsPlaceholdersInOrder) {
  EXPECT_EQ(FormatText(L"Couldn't extract the unzipping dll: %s", {L"Stream write error"}),
            L"Couldn't extract the unzipping dll: Stream write error");
  EXPECT_EQ(FormatText(L"Cannot create file \"%s\". %s", {L"C:\\a b\\x.dll", L"Access is denied"}),
            L"Cannot create file \"C:\\a b\\x.dll\". Access is denied");
  EXPECT_EQ(FormatText(L"Error code: %d", {L"-5"}), L"Error code: -5");
  EXPECT_EQ(FormatText(L"100% %s %x", {L"sure"}), L"100% sure %x");
}

}  // namespace
}  // namespace ot
