// Which payloads and names the builder accepts, and the order it stores entries in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "distro_error.h"
#include "payload_scan.h"
#include "test_support.h"

namespace ot::mkdistro {
namespace {

using testing::TempDir;
using testing::WriteText;

std::vector<std::string> Names(const std::vector<PayloadFile>& files) {
  std::vector<std::string> names;
  for (const PayloadFile& f : files) names.push_back(f.name);
  return names;
}

std::vector<PayloadFile> Listed(std::initializer_list<const char*> names) {
  std::vector<PayloadFile> files;
  for (const char* name : names) files.push_back({name, std::string("/p/") + name, 1, 0});
  return files;
}

std::string RefusalOf(const std::vector<PayloadFile>& files) {
  try {
    CheckPayload(files);
  } catch (const DistroError& e) {
    return e.what();
  }
  return {};
}

TEST(EntryName, AcceptsRelativeUtf8Paths) {
  for (const char* name : {"Orvane.Tessaly.Setup.exe", "Languages/Fran\xC3\xA7" "ais.txt",
                           "a/b/c/d.dll", "with space.txt", ".hidden", "x86/\xE6\x97\xA5\xE6\x9C\xAC.lng",
                           "CONSOLE.txt", "com10.txt", "aux-tools/x.txt", "emoji\xF0\x9F\x98\x80.txt"}) {
    EXPECT_EQ(CheckEntryName(name), "") << name;
  }
}

TEST(EntryName, RefusesWhatIsNotASafeWindowsPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "empty"},
      {"/etc/passwd", "absolute"},
      {"a\\b.txt", "backslash"},
      {"C:x.txt", "colon"},
      {"a\x01.txt", "control"},
      {"tab\there", "control"},
      {"del\x7F", "control"},
      {"c1\xC2\x85", "control"},
      {"over\xC0\xAFlong", "UTF-8"},
      {"surrogate\xED\xA0\x80", "UTF-8"},
      {"cut\xE2\x82", "UTF-8"},
      {"latin1 \xE9t\xE9", "UTF-8"},
      {"../up.txt", "\"..\""},
      {"a/./b", "\".\""},
      {"a//b", "empty path component"},
      {"dir/", "empty path component"},
      {"trailing.", "dot or a space"},
      {"dir /x.txt", "dot or a space"},
      {"CON", "device"},
      {"sub/nul.txt", "device"},
      {"Com1.log", "device"},
      {"lpt9", "device"},
      {"CONOUT$", "device"},
      {"what?.txt", "'?'"},
      {"a*b", "'*'"},
      {"a|b", "'|'"},
      {"<x>", "'<'"},
      {"say\"hi\"", "'\"'"},
  };
  for (const auto& [name, reason] : cases) {
    const std::string got = CheckEntryName(name);
    EXPECT_NE(got.find(reason), std::string::npos) << "name \"" << name << "\" gave \"" << got << "\"";
  }
}

TEST(ArchiveOrder, RootFilesFirstThenEachDirectoryTogetherInTreeOrder) {
  std::vector<PayloadFile> files = Listed({"x86/b.dll", "Languages/z.lng", "b.exe", "x64/a.dll",
                                           "A/B/deep.txt", "Languages/a.lng", "A-C/x.txt", "A/top.txt",
                                           "a.exe", "Redistributables/r.exe", "x86/a.dll"});
  SortArchiveOrder(files);
  EXPECT_EQ(Names(files), (std::vector<std::string>{
                              "a.exe", "b.exe", "A/top.txt", "A/B/deep.txt", "A-C/x.txt",
                              "Languages/a.lng", "Languages/z.lng", "Redistributables/r.exe",
                              "x64/a.dll", "x86/a.dll", "x86/b.dll"}));
}

TEST(PayloadLimits, EntryCountStopsAt65535) {
  std::vector<PayloadFile> files;
  for (int i = 0; i < 65535; ++i) files.push_back({"f" + std::to_string(i), "/p", 1, 0});
  EXPECT_EQ(RefusalOf(files), "");
  files.push_back({"one-more", "/p", 1, 0});
  EXPECT_NE(RefusalOf(files).find("65,536 files, more than the 65,535"), std::string::npos);
  EXPECT_NE(RefusalOf({}).find("no files"), std::string::npos);
}

TEST(PayloadLimits, FileSizeMustStayBelowTheZip64Marker) {
  std::vector<PayloadFile> files = Listed({"big.bin"});
  files[0].size = 0xFFFFFFFEULL;
  EXPECT_EQ(RefusalOf(files), "");
  files[0].size = 0xFFFFFFFFULL;
  EXPECT_NE(RefusalOf(files).find("4 GiB or more"), std::string::npos);
  files[0].size = 5ULL << 30;
  EXPECT_NE(RefusalOf(files).find("5,368,709,120 bytes"), std::string::npos);
}

TEST(PayloadLimits, PathsTooLongToUnpackUnderAUsersTemporaryFolderAreRefusedUnlessAllowed) {
  // C:\Users\<20 characters>\AppData\Local\Temp\{GUID}\Setup\ takes 94 of the 259 characters.
  const std::string fits = "Data/" + std::string(160, 'f');  // 259
  const std::string tooLong = fits + "g";                     // 260
  EXPECT_EQ(RefusalOf(Listed({fits.c_str()})), "");
  const std::string refusal = RefusalOf(Listed({"Setup.exe", tooLong.c_str()}));
  EXPECT_NE(refusal.find("\"" + tooLong + "\" would be unpacked to a path of 260 characters"),
            std::string::npos) << refusal;
  EXPECT_NE(refusal.find("--allow-long-paths"), std::string::npos);
  EXPECT_NO_THROW(CheckPayload(Listed({tooLong.c_str()}), /*allowLongPaths=*/true));
  // Characters beyond U+FFFF count twice, as in UTF-16: 157 + 2 * 2 + "Data/" is 166 units.
  const std::string emoji = "Data/" + std::string(157, 'e') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80";
  EXPECT_NE(RefusalOf(Listed({emoji.c_str()})).find("path of 260 characters"), std::string::npos);
  // A directory path may have 247 characters at most (CreateDirectoryW keeps room for a short
  // name): 153 characters of directories are the most an entry may have.
  EXPECT_EQ(RefusalOf(Listed({(std::string(153, 'd') + "/x").c_str()})), "");
  EXPECT_NE(RefusalOf(Listed({(std::string(100, 'd') + "/" + std::string(53, 'd') + "/x").c_str()}))
                .find("directory path of 248 characters"),
            std::string::npos);
}

TEST(PayloadLimits, NamesWindowsWouldMergeAreRefused) {
  EXPECT_NE(RefusalOf(Listed({"Readme.txt", "README.TXT"})).find("differ only in letter case"), std::string::npos);
  EXPECT_NE(RefusalOf(Listed({"Lang/a.txt", "lang/b.txt"})).find("directories"), std::string::npos);
  EXPECT_NE(RefusalOf(Listed({"data", "Data/x.txt"})).find("both a file and a directory"), std::string::npos);
  EXPECT_NE(RefusalOf(Listed({"Data/x.txt", "data"})).find("both a file and a directory"), std::string::npos);
  EXPECT_EQ(RefusalOf(Listed({"Lang/a.txt", "Lang/b.txt", "Lang2/a.txt"})), "");
  EXPECT_NE(RefusalOf(Listed({"ok.txt", "bad:name"})).find("contains a colon"), std::string::npos);
}

class ScanTest : public ::testing::Test {
 protected:
  std::string ScanRefusal() {
    try {
      ScanPayload(dir_.path() + "/p");
    } catch (const DistroError& e) {
      return e.what();
    }
    return {};
  }
  TempDir dir_;
};

TEST_F(ScanTest, ListsRegularFilesWithSizesTimesAndNestedNames) {
  WriteText(dir_ / "p/root.txt", "12345");
  WriteText(dir_ / "p/Languages/de.lng", "x");
  WriteText(dir_ / "p/a/b/c/deep.bin", "");
  const timespec times[2] = {{1'600'000'000, 0}, {1'600'000'000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "p/root.txt").c_str(), times, 0), 0);
  const std::vector<PayloadFile> files = ScanPayload(dir_.path() + "/p/");
  ASSERT_EQ(Names(files), (std::vector<std::string>{"root.txt", "Languages/de.lng", "a/b/c/deep.bin"}));
  EXPECT_EQ(files[0].size, 5u);
  EXPECT_EQ(files[0].mtime, 1'600'000'000);
  EXPECT_EQ(files[0].path, dir_.path() + "/p/root.txt");
  EXPECT_EQ(files[2].size, 0u);
}

TEST_F(ScanTest, RefusesWhatCannotBeCarried) {
  EXPECT_NE(ScanRefusal().find("no such directory"), std::string::npos);
  WriteText(dir_ / "p", "a file");
  EXPECT_NE(ScanRefusal().find("is not a directory"), std::string::npos);
  unlink((dir_ / "p").c_str());
  mkdir((dir_ / "p").c_str(), 0777);
  EXPECT_NE(ScanRefusal().find("holds no files"), std::string::npos);

  WriteText(dir_ / "p/file.txt", "x");
  mkdir((dir_ / "p/sub").c_str(), 0777);
  mkdir((dir_ / "p/sub/empty").c_str(), 0777);
  WriteText(dir_ / "p/sub/kept.txt", "x");
  const std::string empty = ScanRefusal();
  EXPECT_NE(empty.find("empty directory"), std::string::npos);
  EXPECT_NE(empty.find("sub/empty"), std::string::npos);
  EXPECT_NE(empty.find("could not be recreated"), std::string::npos);
  rmdir((dir_ / "p/sub/empty").c_str());
  EXPECT_EQ(ScanRefusal(), "");

  ASSERT_EQ(symlink("file.txt", (dir_ / "p/link.txt").c_str()), 0);
  EXPECT_NE(ScanRefusal().find("symbolic link"), std::string::npos);
  unlink((dir_ / "p/link.txt").c_str());
  ASSERT_EQ(mkfifo((dir_ / "p/pipe").c_str(), 0600), 0);
  EXPECT_NE(ScanRefusal().find("not a regular file"), std::string::npos);
  unlink((dir_ / "p/pipe").c_str());
  WriteText(dir_ / "p/sub/tab\there.txt", "x");
  EXPECT_NE(ScanRefusal().find("control character"), std::string::npos);
}

}  // namespace
}  // namespace ot::mkdistro
