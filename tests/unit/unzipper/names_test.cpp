// Entry-name safety, name decoding, masks and the error texts shown to the user.
#include <gtest/gtest.h>

#include "archive_error.h"
#include "archiver.h"
#include "zip/name_text.h"
#include "zip/path_check.h"

namespace orv {
namespace {

TEST(PathCheck, AcceptsRelativeNamesInsideTheDestination) {
  for (const wchar_t* name : {L"a.txt", L"Languages\\Français.lng", L"x64\\lib.dll", L"sub\\", L".\\a.txt",
                              L"a..b.txt", L"..a", L"CONFIG.SYS", L"console.txt", L"COM0", L"dir\\...x"}) {
    EXPECT_TRUE(zip::IsSafeEntryName(name)) << name;
  }
}

TEST(PathCheck, RefusesNamesThatLeaveTheDestinationOrNameADevice) {
  for (const wchar_t* name :
       {L"", L"..\\evil.txt", L"a\\..\\..\\evil.txt", L"a\\..", L"\\rooted.txt", L"/rooted.txt",
        L"\\\\server\\share\\x.txt", L"\\\\?\\C:\\x.txt", L"C:evil.txt", L"C:\\evil.txt", L"file.txt:stream",
        L"a/../evil.txt", L"...\\evil.txt", L". .\\evil.txt", L".. \\evil.txt", L"NUL", L"dir\\nul.txt",
        L"COM1", L"lpt9.log", L"aux ", L"CON.tar.gz", L"tab\there.txt", L"new\nline"}) {
    EXPECT_FALSE(zip::IsSafeEntryName(name)) << name;
  }
}

TEST(NameText, DecodesUtf8OfEveryLength) {
  // "é" (2 bytes), "€" (3 bytes), U+1F600 (4 bytes).
  const std::wstring text = zip::Utf8ToWide("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  if constexpr (sizeof(wchar_t) == 2) {
    EXPECT_EQ(text, (std::wstring{0x00E9, 0x20AC, 0xD83D, 0xDE00}));
  } else {
    EXPECT_EQ(text, (std::wstring{0x00E9, 0x20AC, static_cast<wchar_t>(0x1F600)}));
  }
  EXPECT_EQ(zip::WideToUtf8(text), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(NameText, ReplacesMalformedSequencesWithoutSwallowingWhatFollows) {
  EXPECT_EQ(zip::Utf8ToWide("a\xC3"), (std::wstring{L'a', 0xFFFD}));          // cut short
  EXPECT_EQ(zip::Utf8ToWide("\xC3(b"), (std::wstring{0xFFFD, L'(', L'b'}));   // bad continuation
  EXPECT_EQ(zip::Utf8ToWide("\xC0\xAF"), (std::wstring{0xFFFD}));             // overlong "/"
  EXPECT_EQ(zip::Utf8ToWide("\xED\xA0\x80"), (std::wstring{0xFFFD}));         // a surrogate
  EXPECT_EQ(zip::Utf8ToWide("\xF4\x90\x80\x80"), (std::wstring{0xFFFD}));     // past U+10FFFF
  EXPECT_EQ(zip::Utf8ToWide("\xFF"), (std::wstring{0xFFFD}));
}

TEST(NameText, Cp437CoversTheUpperHalf) {
  EXPECT_EQ(zip::Cp437ToWide("\x81" "ber"), L"\u00FCber");
  EXPECT_EQ(zip::Cp437ToWide("\xE1\xFF\x80"), (std::wstring{0x00DF, 0x00A0, 0x00C7}));
}

TEST(ArchiverErrors, FullTextHasTheFiveDigitNativeCode) {
  EXPECT_EQ(ArchiverErrorText(kErrorCorruptData, L""),
            L"Invalid size or check sum of file or unsupported compression format - Native error: 00008");
  EXPECT_EQ(ArchiverErrorText(kErrorCannotCreateFile, L"C:\\x\\a.txt"),
            L"Cannot create file \"C:\\x\\a.txt\" - Native error: 00019");
  EXPECT_EQ(ArchiverErrorText(kErrorCannotCreateDirectory, L"C:\\x\\sub\\"),
            L"Cannot create directory \"C:\\x\\sub\\\" - Native error: 00020");
  EXPECT_EQ(ArchiverErrorText(kErrorDeflate64, L""), L"Deflate64 compression method is not supported - Native error: 00055");
  EXPECT_EQ(ArchiverErrorText(kErrorFileNotFound, L"a.zip", L"Zip1"), L"Zip1: File \"a.zip\" not found - Native error: 00012");
  EXPECT_EQ(ArchiverErrorText(kErrorBlankFileName, L"ignored"),
            L"File name is blank. Specify appropriate file name - Native error: 00010");
}

TEST(ArchiverErrors, FailurePromptWrapsTheFullText) {
  EXPECT_EQ(FailurePromptText(ArchiverErrorText(kErrorCannotCreateFile, L"C:\\a")),
            L"Cannot create file \"C:\\a\" - Native error: 00019. File processing error, possibly disk is full");
}

TEST(ArchiverErrors, ObjectNameGoesInFrontOfTheText) {
  const Status named = Status::Archiver(kErrorCorruptData).WithObjectName(L"Zip");
  EXPECT_EQ(named.text().rfind(L"Zip: Invalid size", 0), 0u);
  EXPECT_EQ(named.code(), kErrorCorruptData);
  EXPECT_EQ(Status::Archiver(kErrorCorruptData).WithObjectName(L"").text(),
            Status::Archiver(kErrorCorruptData).text());
}

TEST(Masks, StarSelectsEveryNameAtEveryDepth) {
  for (const wchar_t* name : {L"a", L"a.txt", L"sub/b.dll", L"sub/", L"", L"x/y/z"}) {
    EXPECT_TRUE(MatchesMask(name, L"*", true)) << name;
  }
}

TEST(Masks, WildcardsCaseAndRecursion) {
  EXPECT_TRUE(MatchesMask(L"Languages/de.LNG", L"*.lng", true));
  EXPECT_FALSE(MatchesMask(L"Languages/de.LNG", L"*.lng", false));  // only the top level
  EXPECT_TRUE(MatchesMask(L"de.lng", L"*.lng", false));
  EXPECT_TRUE(MatchesMask(L"a1.txt", L"a?.txt", true));
  EXPECT_FALSE(MatchesMask(L"a12.txt", L"a?.txt", true));
  EXPECT_FALSE(MatchesMask(L"sub/a.txt", L"b*", true));
  EXPECT_TRUE(MatchesMask(L"sub/a.txt", L"sub/*", true));
  EXPECT_FALSE(MatchesMask(L"other/a.txt", L"sub/*", true));
  EXPECT_TRUE(MatchesMask(L"abcabd", L"*abd", true));  // needs backtracking
}

}  // namespace
}  // namespace orv
