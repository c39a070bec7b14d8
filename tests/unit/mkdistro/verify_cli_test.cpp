// The inspector on good and damaged archives, and the command line's behaviour: usage, clear
// refusals with no output file left behind, atomic replacement.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "archive_check.h"
#include "bench_payload.h"
#include "distro_build.h"
#include "test_support.h"

namespace ot::mkdistro {
namespace {

using testing::ReadBytes;
using testing::RunCommand;
using testing::ShellQuote;
using testing::TempDir;
using testing::WriteBytes;
using testing::WriteText;

const std::string kTool = MKDISTRO_PATH;

bool Mentions(const VerifyReport& r, const std::string& text) {
  for (const std::string& p : r.problems) {
    if (p.find(text) != std::string::npos) return true;
  }
  return false;
}

class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteText(dir_ / "p/a.txt", std::string(5000, 'a'));
    WriteText(dir_ / "p/b.exe", "program");
    WriteText(dir_ / "p/Languages/c.lng", "language");
    good_ = dir_ / "good.zip";
    BuildDistroFile(dir_ / "p", good_, {});
    bytes_ = ReadBytes(good_);
  }
  // Writes a changed copy and inspects it.
  VerifyReport Damaged(const std::function<void(std::vector<std::uint8_t>&)>& change, VerifyOptions options = {}) {
    std::vector<std::uint8_t> copy = bytes_;
    change(copy);
    WriteBytes(dir_ / "bad.zip", copy);
    return VerifyArchive(dir_ / "bad.zip", options);
  }
  std::size_t CentralOffset() const {
    const std::size_t e = bytes_.size() - 22;
    return bytes_[e + 16] | bytes_[e + 17] << 8 | bytes_[e + 18] << 16;
  }
  TempDir dir_;
  std::string good_;
  std::vector<std::uint8_t> bytes_;
};

TEST_F(VerifyTest, GoodArchivePassesEveryCheck) {
  VerifyOptions options{true, DefaultArchivePassword()};
  const VerifyReport r = VerifyArchive(good_, options);
  EXPECT_TRUE(r.ok) << (r.problems.empty() ? "" : r.problems[0]);
  EXPECT_EQ(r.entries, 3u);
  EXPECT_EQ(r.centralDirOffset, CentralOffset());
  EXPECT_EQ(r.centralDirSize, bytes_.size() - 22 - CentralOffset());
  EXPECT_TRUE(r.tiles && r.headersMatch && r.valuesAsExpected && r.decrypted);
}

TEST_F(VerifyTest, DamageIsFoundAndNamed) {
  const std::size_t cd = CentralOffset();
  VerifyReport r = Damaged([](auto& b) { b.push_back(0); });
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.endRecordFound);

  r = Damaged([](auto& b) { b[30] ^= 0x20; });  // first local name: "a.txt" -> "A.txt"
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.headersMatch);
  EXPECT_TRUE(Mentions(r, "differs from its central header in name"));

  r = Damaged([&](auto& b) { b[cd + 20] -= 1; });  // first entry's compressed size, central only
  EXPECT_FALSE(r.tiles);
  EXPECT_TRUE(Mentions(r, "a gap"));
  r = Damaged([&](auto& b) { b[cd + 20] += 1; });
  EXPECT_FALSE(r.tiles);
  EXPECT_TRUE(Mentions(r, "an overlap"));

  r = Damaged([&](auto& b) { b[cd + 38] = 0; });  // external attributes
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.tiles && r.headersMatch);
  EXPECT_FALSE(r.valuesAsExpected);
}

TEST_F(VerifyTest, NamesThatMeetOnWindowsAreFound) {
  // Renames an entry in its local and its central header alike, so that only the names clash.
  const auto renamed = [&](const std::string& from, const std::string& to) {
    return Damaged([&](auto& b) {
      ASSERT_EQ(from.size(), to.size());
      int replaced = 0;
      for (auto at = std::search(b.begin(), b.end(), from.begin(), from.end()); at != b.end();
           at = std::search(at + 1, b.end(), from.begin(), from.end())) {
        std::copy(to.begin(), to.end(), at);
        ++replaced;
      }
      ASSERT_EQ(replaced, 2);
    });
  };
  VerifyReport r = renamed("b.exe", "a.txt");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.tiles && r.headersMatch);
  EXPECT_FALSE(r.valuesAsExpected);
  EXPECT_TRUE(Mentions(r, "stands twice"));

  r = renamed("b.exe", "A.TXT");
  EXPECT_FALSE(r.valuesAsExpected);
  EXPECT_TRUE(Mentions(r, "differ only in letter case"));

  r = renamed("Languages/c.lng", "A.txt/xxxxx.lng");
  EXPECT_FALSE(r.valuesAsExpected);
  EXPECT_TRUE(Mentions(r, "both a file and a directory"));
}

TEST_F(VerifyTest, DecryptingFindsAWrongPasswordAndAFlippedBit) {
  VerifyReport r = Damaged([](auto&) {}, VerifyOptions{true, "not the password"});
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.decrypted);
  EXPECT_TRUE(Mentions(r, "wrong password"));
  EXPECT_TRUE(r.tiles && r.headersMatch && r.valuesAsExpected);

  // The first entry's ciphertext starts after 30 + 5 (name) + 11 (extra) + 8 (salt) + 2 bytes.
  r = Damaged([](auto& b) { b[46 + 10 + 3] ^= 0x01; }, VerifyOptions{true, DefaultArchivePassword()});
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(Mentions(r, "authentication code of \"a.txt\""));
}

TEST_F(VerifyTest, CommandLineReportsStructureAndExitStatus) {
  const auto good = RunCommand(ShellQuote(kTool) + " --verify " + ShellQuote(good_) + " --decrypt");
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_NE(good.output.find("entries: 3\n"), std::string::npos) << good.output;
  EXPECT_NE(good.output.find("records: tile [0, "), std::string::npos) << good.output;
  EXPECT_NE(good.output.find("result: OK"), std::string::npos);
  WriteBytes(dir_ / "bad.zip", std::vector<std::uint8_t>(bytes_.begin(), bytes_.end() - 1));
  const auto bad = RunCommand(ShellQuote(kTool) + " --verify " + ShellQuote(dir_ / "bad.zip"));
  EXPECT_EQ(bad.exitCode, 1) << bad.output;
  EXPECT_NE(bad.output.find("result: DAMAGED"), std::string::npos);
}

class CommandLineTest : public ::testing::Test {
 protected:
  // Runs the tool on payload p and checks it refused with the message, leaving no file behind.
  void ExpectRefusal(const std::string& message) {
    const auto r = RunCommand("umask 022; " + ShellQuote(kTool) + " " + ShellQuote(dir_ / "p") + " " + ShellQuote(dir_ / "out/D.zip"));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
    EXPECT_EQ(testing::ListDir(dir_ / "out"), std::vector<std::string>{}) << "left a file behind";
  }
  void SetUp() override { mkdir((dir_ / "out").c_str(), 0777); }
  TempDir dir_;
};

TEST_F(CommandLineTest, HelpAndUsage) {
  const auto help = RunCommand(ShellQuote(kTool) + " --help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("usage: mkdistro PAYLOAD_DIR OUT.zip"), std::string::npos);
  EXPECT_EQ(RunCommand(ShellQuote(kTool)).exitCode, 2);
  EXPECT_EQ(RunCommand(ShellQuote(kTool) + " a b c").exitCode, 2);
  const auto unknown = RunCommand(ShellQuote(kTool) + " --frobnicate");
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.output.find("unknown option --frobnicate"), std::string::npos);
  EXPECT_EQ(RunCommand(ShellQuote(kTool) + " p o.zip --level 13").exitCode, 2);
  EXPECT_EQ(RunCommand(ShellQuote(kTool) + " p o.zip --threads 0").exitCode, 2);
  const auto epoch = RunCommand("SOURCE_DATE_EPOCH=yesterday " + ShellQuote(kTool) + " p o.zip");
  EXPECT_EQ(epoch.exitCode, 2);
  EXPECT_NE(epoch.output.find("SOURCE_DATE_EPOCH"), std::string::npos) << epoch.output;
}

TEST_F(CommandLineTest, BadInputGetsAClearMessageAndNoOutput) {
  ExpectRefusal("no such directory");
  WriteText(dir_ / "p/ok.txt", "x");
  mkdir((dir_ / "p/Languages").c_str(), 0777);
  ExpectRefusal("empty directory");
  rmdir((dir_ / "p/Languages").c_str());
  WriteText(dir_ / "p/a\\b.txt", "x");
  ExpectRefusal("contains a backslash");
  unlink((dir_ / "p/a\\b.txt").c_str());
  ASSERT_EQ(truncate((dir_ / "p/ok.txt").c_str(), 4LL << 30), 0);  // sparse: no disk space used
  ExpectRefusal("4 GiB or more");
  ASSERT_EQ(truncate((dir_ / "p/ok.txt").c_str(), 1), 0);
  ASSERT_EQ(symlink("ok.txt", (dir_ / "p/link").c_str()), 0);
  ExpectRefusal("symbolic link");
}

TEST_F(CommandLineTest, SuccessReplacesTheArchiveWithUsualPermissionsAndNoProgressOffTerminal) {
  WriteText(dir_ / "p/ok.txt", "content");
  WriteText(dir_ / "out/D.zip", "previous");
  const auto r = RunCommand("umask 022; " + ShellQuote(kTool) + " " + ShellQuote(dir_ / "p") + " " +
                     ShellQuote(dir_ / "out/D.zip") + " --password secret");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find('\r'), std::string::npos) << "progress line while not on a terminal";
  EXPECT_NE(r.output.find("1 entry"), std::string::npos) << r.output;
  EXPECT_EQ(testing::ListDir(dir_ / "out"), std::vector<std::string>{"D.zip"});
  struct stat st;
  ASSERT_EQ(stat((dir_ / "out/D.zip").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_TRUE(VerifyArchive(dir_ / "out/D.zip", {true, "secret"}).ok);
  EXPECT_FALSE(VerifyArchive(dir_ / "out/D.zip", {true, DefaultArchivePassword()}).ok);
}

TEST_F(CommandLineTest, TerminationRemovesTheTemporaryFile) {
  // Big enough that the build is still running when the signal arrives.
  std::vector<std::uint8_t> bytes(48 << 20);
  benchpayload::ProgramLikeBytes(3).Next(bytes.data(), bytes.size());
  WriteBytes(dir_ / "p/big.bin", bytes);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string payload = dir_ / "p", out = dir_ / "out/D.zip";
    execl(kTool.c_str(), kTool.c_str(), payload.c_str(), out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  bool sawTemp = false;
  for (int i = 0; i < 2000 && !sawTemp; ++i) {
    for (const std::string& name : testing::ListDir(dir_ / "out")) sawTemp |= name.rfind("D.zip.tmp-", 0) == 0;
    if (!sawTemp) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!sawTemp || !WIFSIGNALED(status)) GTEST_SKIP() << "the build ended before the signal";
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(testing::ListDir(dir_ / "out"), std::vector<std::string>{});
}

}  // namespace
}  // namespace ot::mkdistro
