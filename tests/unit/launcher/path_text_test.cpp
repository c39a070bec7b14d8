#include "core/path_text.h"

#include <gtest/gtest.h>

namespace ot {
namespace {

TEST(JoinPath, EmptyParts) {
  EXPECT_EQ(JoinPath(L"", L"x"), L"x");
  EXPECT_EQ(JoinPath(L"C:\\dir", L""), L"C:\\dir");
  EXPECT_EQ(JoinPath(L"", L""), L"");
}

TEST(JoinPath, OneSeparatorAndNothingNormalised) {
  EXPECT_EQ(JoinPath(L"C:\\Temp\\", L"x"), L"C:\\Temp\\x");
  EXPECT_EQ(JoinPath(L"C:\\Temp", L"x"), L"C:\\Temp\\x");
  EXPECT_EQ(JoinPath(L"C:/Temp/", L"x"), L"C:/Temp/x");
  EXPECT_EQ(JoinPath(L"C:\\Temp", L"\\x"), L"C:\\Temp\\\\x");
  EXPECT_EQ(JoinPath(L"a\\.\\..", L"B.exe"), L"a\\.\\..\\B.exe");
  EXPECT_EQ(JoinPath(L"C:\\Temp", L"*"), L"C:\\Temp\\*");
}

TEST(QuoteText, WrapsWithoutEscaping) {
  EXPECT_EQ(QuoteText(L""), L"\"\"");
  EXPECT_EQ(QuoteText(L"C:\\Program Files\\x"), L"\"C:\\Program Files\\x\"");
  EXPECT_EQ(QuoteText(L"\"q\""), L"\"\"q\"\"");
  EXPECT_EQ(QuoteText(L"a\"b"), L"\"a\"b\"");
}

TEST(LauncherDirectory, DriveRootKeepsItsBackslashAndIsDoubledForTheCommandLine) {
  EXPECT_EQ(DirectoryOfModulePath(L"C:\\otSetup.exe"), L"C:\\");
  EXPECT_EQ(QuoteText(EscapeTrailingBackslash(DirectoryOfModulePath(L"R:\\otSetup.exe"))),
            L"\"R:\\\\\"");
  EXPECT_EQ(DirectoryOfModulePath(L"C:\\Users\\Jo Doe\\Downloads\\otSetup.exe"),
            L"C:\\Users\\Jo Doe\\Downloads");
  EXPECT_EQ(QuoteText(EscapeTrailingBackslash(L"C:\\Users\\Jo Doe\\Downloads")),
            L"\"C:\\Users\\Jo Doe\\Downloads\"");
  EXPECT_EQ(DirectoryOfModulePath(L"\\\\server\\share\\otSetup.exe"), L"\\\\server\\share");
}

}  // namespace
}  // namespace ot
