// The builder's archives against other readers: 7-Zip, bsdtar and our own orvunzip must
// extract them byte for byte with the password, and refuse them without it.
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "archive_check.h"
#include "bench_payload.h"
#include "distro_build.h"
#include "test_support.h"

namespace ot::mkdistro {
namespace {

using testing::RunCommand;
using testing::ShellQuote;
using testing::TempDir;
using testing::WriteBytes;
using testing::WriteText;

const std::string kTool = MKDISTRO_PATH;
const std::string kSevenZip = SEVENZIP_PATH;
const std::string kBsdtar = BSDTAR_PATH;
const std::string kOrvUnzip = ORVUNZIP_PATH;

bool Executable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

// Extracts with one reader into dir / outName and compares the tree with the payload.
void ExpectExtractsExactly(const std::string& reader, const std::string& archive, const std::string& password,
                           const std::string& payload, const std::string& out) {
  mkdir(out.c_str(), 0777);
  std::string command;
  if (reader == "7zz") {
    command = ShellQuote(kSevenZip) + " x -y -p" + ShellQuote(password) + " -o" + ShellQuote(out) + " " + ShellQuote(archive);
  } else if (reader == "bsdtar") {
    command = ShellQuote(kBsdtar) + " -x -C " + ShellQuote(out) + " --passphrase " + ShellQuote(password) + " -f " + ShellQuote(archive);
  } else {
    command = ShellQuote(kOrvUnzip) + " " + ShellQuote(archive) + " " + ShellQuote(out) + " " + ShellQuote(password) + " </dev/null";
  }
  const auto r = RunCommand("timeout 120 " + command);
  ASSERT_EQ(r.exitCode, 0) << reader << ": " << r.output;
  const auto same = RunCommand("diff -r " + ShellQuote(payload) + " " + ShellQuote(out));
  EXPECT_EQ(same.exitCode, 0) << reader << " extracted something else:\n" << same.output;
}

std::vector<std::string> Readers() {
  std::vector<std::string> readers;
  if (Executable(kSevenZip)) readers.push_back("7zz");
  if (Executable(kBsdtar)) readers.push_back("bsdtar");
  if (Executable(kOrvUnzip)) readers.push_back("orvunzip");
  return readers;
}

class InteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Readers().empty()) GTEST_SKIP() << "no 7zz, bsdtar or orvunzip on this machine";
  }
  TempDir dir_;
};

TEST_F(InteropTest, SmallTreeWithEdgeCasesExtractsExactly) {
  std::vector<std::uint8_t> program(256 * 1024 + 1);
  benchpayload::ProgramLikeBytes(2).Next(program.data(), program.size());
  WriteBytes(dir_ / "p/Orvane.Tessaly.Setup.exe", program);
  program.resize(256 * 1024);
  WriteBytes(dir_ / "p/exactly-one-block.dll", program);
  WriteText(dir_ / "p/empty.txt", "");
  WriteText(dir_ / "p/one.txt", "1");
  WriteText(dir_ / "p/with space.txt", "spaces");
  WriteText(dir_ / "p/Languages/Fran\xC3\xA7" "ais.txt", "Bonjour");
  WriteText(dir_ / "p/Languages/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.lng", "\xE6\x97\xA5");
  WriteText(dir_ / "p/deep/er/still/leaf.txt", "leaf");
  const std::string archive = dir_ / "small.zip";
  const auto built = RunCommand(ShellQuote(kTool) + " " + ShellQuote(dir_ / "p") + " " + ShellQuote(archive) + " --password 'pa ss'");
  ASSERT_EQ(built.exitCode, 0) << built.output;
  for (const std::string& reader : Readers()) {
    ExpectExtractsExactly(reader, archive, "pa ss", dir_ / "p", dir_ / ("x-" + reader));
  }
}

TEST_F(InteropTest, TimesSurviveTheRoundTripThrough7Zip) {
  if (!Executable(kSevenZip)) GTEST_SKIP() << "no 7zz";
  WriteText(dir_ / "p/a.txt", "a");
  const timespec times[2] = {{1661000001, 0}, {1661000001, 0}};  // an odd second
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "p/a.txt").c_str(), times, 0), 0);
  // The archive holds local time; builder and reader share one zone here.
  ASSERT_EQ(RunCommand("TZ=XST-3 " + ShellQuote(kTool) + " " + ShellQuote(dir_ / "p") + " " + ShellQuote(dir_ / "t.zip")).exitCode, 0);
  ASSERT_EQ(RunCommand("TZ=XST-3 " + ShellQuote(kSevenZip) + " x -y -p" + ShellQuote(DefaultArchivePassword()) + " -o" +
                ShellQuote(dir_ / "x") + " " + ShellQuote(dir_ / "t.zip")).exitCode, 0);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "x/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1661000000);
}

TEST_F(InteropTest, WrongPasswordFailsEveryEntry) {
  for (int i = 0; i < 6; ++i) WriteText(dir_ / ("p/f" + std::to_string(i) + ".txt"), std::string(100 + i, 'z'));
  const std::string archive = dir_ / "w.zip";
  BuildDistroFile(dir_ / "p", archive, {});
  if (Executable(kSevenZip)) {
    const auto r = RunCommand(ShellQuote(kSevenZip) + " t -pnot-the-password " + ShellQuote(archive));
    EXPECT_NE(r.exitCode, 0);
    std::size_t wrong = 0;
    for (std::size_t at = r.output.find("Wrong password"); at != std::string::npos; at = r.output.find("Wrong password", at + 1)) ++wrong;
    EXPECT_EQ(wrong, 6u) << r.output;
  }
  if (Executable(kBsdtar)) {
    mkdir((dir_ / "xb").c_str(), 0777);
    const auto r = RunCommand(ShellQuote(kBsdtar) + " -x -C " + ShellQuote(dir_ / "xb") + " --passphrase wrong -f " + ShellQuote(archive));
    EXPECT_NE(r.exitCode, 0) << r.output;
  }
}

TEST_F(InteropTest, FullSizeBenchmarkPayloadExtractsExactly) {
  benchpayload::WriteBenchPayload(dir_ / "bench", 1);
  const std::string archive = dir_ / "Distro.zip";
  const auto built = RunCommand(ShellQuote(kTool) + " " + ShellQuote(dir_ / "bench") + " " + ShellQuote(archive));
  ASSERT_EQ(built.exitCode, 0) << built.output;
  const VerifyReport report = VerifyArchive(archive, {});
  EXPECT_TRUE(report.ok);
  EXPECT_EQ(report.entries, 115u);
  // Entry data deflates like the product's: about 52 of the 77.7 MB.
  EXPECT_GT(report.centralDirOffset, 0.64 * 77'712'208);
  EXPECT_LT(report.centralDirOffset, 0.70 * 77'712'208);
  for (const std::string& reader : Readers()) {
    ExpectExtractsExactly(reader, archive, DefaultArchivePassword(), dir_ / "bench", dir_ / ("x-" + reader));
    RunCommand("rm -rf " + ShellQuote(dir_ / ("x-" + reader)));
  }
}

}  // namespace
}  // namespace ot::mkdistro
