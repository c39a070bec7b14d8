// Archives written by peer tools at test time (7-Zip's 7zz, libarchive's bsdtar), extracted
// through the same code the library runs. Skipped when a tool is not installed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "archive_error.h"
#include "unzip.h"
#include "unzip_test_support.h"
#include "zip/entry_reader.h"
#include "zip/zip_format.h"

namespace orv::test {
namespace {

constexpr char kPassword[] = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}";

bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string data(size, '\0');
  for (char& c : data) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return data;
}

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::size_t block = zip::EntryReader::kBlockSize;
    std::string text;
    while (text.size() < 3 * block) text += "Orvane Tessaly setup payload line " + std::to_string(text.size()) + "\n";
    WriteFile(tree / "Readme.txt", text);
    WriteFile(tree / "empty.dat", "");
    WriteFile(tree / "Program.exe", Noise(2 * block + 333, 1));
    WriteFile(tree / "Languages/Fran\xC3\xA7" "ais.lng", text.substr(0, 5000));
    WriteFile(tree / "x64/lib.dll", Noise(block, 2) + text.substr(0, block));
  }

  std::int32_t Extract(const fs::path& zipPath, const char* password) {
    return UnzipArchive(files, prompts, Wide(zipPath).c_str(), Wide(out).c_str(), password);
  }

  void ExpectSameTree() {
    const std::vector<std::string> expected = ListFiles(tree);
    ASSERT_EQ(ListFiles(out), expected);
    for (const std::string& name : expected) EXPECT_EQ(ReadFile(out / name), ReadFile(tree / name)) << name;
  }

  std::string InTree(const std::string& command) { return "cd '" + tree.string() + "' && " + command; }

  ScratchDir dir;
  fs::path tree = dir / "tree";
  fs::path out = dir / "out";
  FaultyFileSystem files;
  ScriptedPrompts prompts;
};

TEST_F(Interop, SevenZipAesArchivesOfEveryStrengthAndMethod) {
  if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
  for (const char* strength : {"AES128", "AES192", "AES256"}) {
    for (const char* method : {"Deflate", "Copy"}) {
      SCOPED_TRACE(std::string(strength) + " " + method);
      const fs::path zipPath = dir / (std::string(strength) + method + ".zip");
      ASSERT_EQ(Shell(InTree(std::string("7zz a -tzip -mem=") + strength + " -mm=" + method + " -p'" + kPassword +
                             "' '" + zipPath.string() + "' .")),
                0);
      EXPECT_EQ(Extract(zipPath, kPassword), kUnzipCompleted);
      ExpectSameTree();
      EXPECT_TRUE(prompts.passwordAskedFor.empty());
      EXPECT_TRUE(prompts.failureTexts.empty());
      fs::remove_all(out);
    }
  }
}

TEST_F(Interop, BsdtarAe1AndAe2Archives) {
  if (!HaveTool("bsdtar")) GTEST_SKIP() << "bsdtar not installed";
  for (const char* encryption : {"aes128", "aes256"}) {
    SCOPED_TRACE(encryption);
    const fs::path zipPath = dir / (std::string(encryption) + ".zip");
    ASSERT_EQ(Shell(InTree(std::string("bsdtar --format zip --options zip:encryption=") + encryption +
                           " --passphrase '" + kPassword + "' -cf '" + zipPath.string() + "' .")),
              0);
    EXPECT_EQ(Extract(zipPath, kPassword), kUnzipCompleted);
    ExpectSameTree();
    EXPECT_TRUE(prompts.failureTexts.empty());
    fs::remove_all(out);
  }
}

TEST_F(Interop, SevenZipWrongPasswordAndFlippedAuthenticationCode) {
  if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
  const fs::path zipPath = dir / "one.zip";
  ASSERT_EQ(Shell(InTree(std::string("7zz a -tzip -mem=AES128 -mm=Deflate -p'") + kPassword + "' '" +
                         zipPath.string() + "' Readme.txt")),
            0);
  prompts.passwords = {std::string(kPassword)};
  EXPECT_EQ(Extract(zipPath, "wrong"), kUnzipCompleted);
  EXPECT_EQ(prompts.passwordAskedFor, (std::vector<std::wstring>{L"Readme.txt"}));
  EXPECT_EQ(ReadFile(out / "Readme.txt"), ReadFile(tree / "Readme.txt"));

  // One entry and no data descriptor: its code ends where the central directory starts.
  std::string bytes = ReadFile(zipPath);
  const auto directoryOffset = zip::LoadLe32(reinterpret_cast<const std::uint8_t*>(&bytes[bytes.size() - 6]));
  bytes[directoryOffset - 1] = static_cast<char>(bytes[directoryOffset - 1] ^ 0x80);
  WriteFile(zipPath, bytes);
  fs::remove_all(out);
  prompts.failures = {FailureAnswer::kIgnore};
  EXPECT_EQ(Extract(zipPath, kPassword), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts,
            (std::vector<std::wstring>{FailurePromptText(ArchiverErrorText(kErrorCorruptData, L""))}));
  EXPECT_FALSE(fs::exists(out / "Readme.txt"));
}

TEST_F(Interop, SevenZipDeflate64IsRefusedWithItsOwnError) {
  if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
  const fs::path zipPath = dir / "d64.zip";
  ASSERT_EQ(Shell(InTree(std::string("7zz a -tzip -mem=AES256 -mm=Deflate64 -p'") + kPassword + "' '" +
                         zipPath.string() + "' Readme.txt")),
            0);
  prompts.failures = {FailureAnswer::kIgnore};
  EXPECT_EQ(Extract(zipPath, kPassword), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts,
            (std::vector<std::wstring>{FailurePromptText(ArchiverErrorText(kErrorDeflate64, L""))}));
  EXPECT_TRUE(ListFiles(out).empty());
}

}  // namespace
}  // namespace orv::test
