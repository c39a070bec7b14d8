// Prompts and errors on archives that 7-Zip's 7zz writes at test time, extracted through the
// same code the library runs. (Byte-for-byte extraction of every 7zz and bsdtar archive kind
// is checked through orvunzip by orvunzip_cli_test.sh.) Skipped when 7zz is not installed.
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

class Interop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string text;
    while (text.size() < 3 * zip::EntryReader::kBlockSize) text += "setup payload line " + std::to_string(text.size()) + "\n";
    WriteFile(tree / "Readme.txt", text);
  }

  std::int32_t Extract(const fs::path& zipPath, const char* password) {
    return UnzipArchive(files, prompts, Wide(zipPath).c_str(), Wide(out).c_str(), password);
  }

  std::string InTree(const std::string& command) { return "cd '" + tree.string() + "' && " + command; }

  ScratchDir dir;
  fs::path tree = dir / "tree";
  fs::path out = dir / "out";
  FaultyFileSystem files;
  ScriptedPrompts prompts;
};

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
