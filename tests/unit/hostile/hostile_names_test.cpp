// Entry names that try to leave the destination, reach a device or a stream, or collide, run
// through the library under Windows' path rules (in memory) and on this host's real file
// system, with the surroundings of the destination checked afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "archive_error.h"
#include "hostile_support.h"
#include "os/file_system.h"
#include "payload_scan.h"
#include "unzip.h"
#include "zip/name_text.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

// Every entry is refused with the unsafe-name error, in order, and the one good entry after
// them still arrives.
void ExpectAllRefused(const std::vector<std::string>& names) {
  std::vector<TestEntry> entries;
  for (const std::string& name : names) entries.push_back(Aes(name, "hostile: " + name));
  entries.push_back(Aes("good.txt", "good"));
  const Outcome outcome = UnzipHostile(BuildZip(entries));
  EXPECT_EQ(outcome.result, kUnzipCompleted);
  ASSERT_EQ(outcome.failureTexts.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(outcome.failureTexts[i], Prompt(kErrorUnsafeName, zip::Utf8ToWide(names[i]))) << names[i];
  }
  EXPECT_EQ(outcome.files, (std::map<std::wstring, std::string>{{L"good.txt", "good"}}));
}

TEST(HostileNames, TraversalInEverySpellingIsRefused) {
  ExpectAllRefused({"../x.txt", "..\\x.txt", "a/../../x.txt", "a\\..\\..\\x.txt", "a/b/../../../x.txt",
                    "sub/..", "./../x.txt", "... /x.txt", ".. /x.txt", ". ./x.txt", "a/..../x.txt",
                    std::string("ok.txt\0/../../x.txt", 19)});
}

TEST(HostileNames, RootedDriveUncAndStreamNamesAreRefused) {
  ExpectAllRefused({"/x.txt", "\\x.txt", "//server/share/x.txt", "\\\\server\\share\\x.txt",
                    "\\\\?\\C:\\x.txt", "\\\\.\\COM1", "\\??\\C:\\x.txt", "C:x.txt", "C:\\x.txt", "C:/x.txt",
                    "c:..\\x.txt", "x.txt:stream", "dir/x.txt::$DATA", ":x"});
}

TEST(HostileNames, ReservedDeviceNamesAreRefusedInEveryComponent) {
  ExpectAllRefused({"CON", "aux.txt", "COM1", "LPT9.txt", "NUL", "con .txt", "Nul.tar.gz", "prn.", "sub/PRN/x.txt",
                    "sub/lpt1", "COM\xC2\xB9.txt", "lpt\xC2\xB3", "Com\xC2\xB2 .log"});
}

TEST(HostileNames, NamesThatOnlyResembleDevicesArrive) {
  std::vector<TestEntry> entries;
  for (const char* name : {"CONSOLE.txt", "COM10", "nul_", "LPTX.txt", "auxiliary/COMA", "COM\xC2\xB4"}) {
    entries.push_back(Aes(name, name));
  }
  const Outcome outcome = UnzipHostile(BuildZip(entries));
  EXPECT_TRUE(outcome.failureTexts.empty());
  EXPECT_EQ(outcome.files.size(), entries.size());
}

// UTF-8 is decoded strictly: an overlong dot is no dot, and the fullwidth or one-dot-leader
// look-alikes are ordinary characters under Windows' wide-character calls. Each such name
// stays a plain name inside the destination.
TEST(HostileNames, Utf8LookAlikesOfDotsStayInside) {
  const Outcome outcome = UnzipHostile(BuildZip({Aes("\xC0\xAE\xC0\xAE/overlong.txt", "1"),
                                                 Aes("\xEF\xBC\x8E\xEF\xBC\x8E/fullwidth.txt", "2"),
                                                 Aes("\xE2\x80\xA4\xE2\x80\xA4/leader.txt", "3"),
                                                 Aes("\xEF\xBC\x8F..\xEF\xBC\x8Fslash.txt", "4")}));
  EXPECT_EQ(outcome.result, kUnzipCompleted);
  EXPECT_TRUE(outcome.failureTexts.empty());
  EXPECT_EQ(outcome.files, (std::map<std::wstring, std::string>{
                               {L"\uFFFD\uFFFD\\overlong.txt", "1"},
                               {L"\uFF0E\uFF0E\\fullwidth.txt", "2"},
                               {L"\u2024\u2024\\leader.txt", "3"},
                               {L"\uFF0F..\uFF0Fslash.txt", "4"}}));
}

// Names that become one file on Windows ("/" and "\" alike, letter case and trailing dots not
// counted): the later entry replaces the earlier one, exactly as an existing file in the
// destination is replaced. Nothing is written beside the destination, and no prompt is shown.
TEST(HostileNames, CollidingNamesLeaveTheLaterEntry) {
  TestEntry upper = Aes("Languages/README.TXT", "upper");
  TestEntry lower = Aes("languages\\readme.txt", "lower");
  TestEntry dotted = Aes("a.txt.", "dotted");
  TestEntry plain = Aes("a.txt", "plain");
  const Outcome outcome = UnzipHostile(BuildZip({upper, lower, dotted, plain}));
  EXPECT_EQ(outcome.result, kUnzipCompleted);
  EXPECT_TRUE(outcome.failureTexts.empty());
  EXPECT_EQ(outcome.files, (std::map<std::wstring, std::string>{{L"languages\\readme.txt", "lower"},
                                                                 {L"a.txt", "plain"}}));
}

// A file and a directory of the same name cannot both exist: the second is refused with the
// create errors, the first stays. A failed later entry of the same name removes the earlier
// file, since the existing file is deleted before the new one is written.
TEST(HostileNames, FileAndDirectoryOfOneNameAndFailedReplacements) {
  TestEntry broken = Aes("Kept.txt", "second");
  broken.corruptMac = true;
  const Outcome outcome = UnzipHostile(BuildZip({Aes("x", "file"), Aes("X/inner.txt", "inner"),
                                                 Aes("d/inner.txt", "inner"), Aes("D", "file"),
                                                 Aes("kept.txt", "first"), broken}));
  EXPECT_EQ(outcome.failureTexts,
            (std::vector<std::wstring>{Prompt(kErrorCannotCreateDirectory, kSetupDir + L"\\X\\"),
                                       Prompt(kErrorCannotCreateFile, kSetupDir + L"\\D"),
                                       Prompt(kErrorCorruptData)}));
  EXPECT_EQ(outcome.files, (std::map<std::wstring, std::string>{{L"x", "file"}, {L"d\\inner.txt", "inner"}}));
}

TEST(HostileNames, TheBuilderRefusesSuperscriptDeviceNamesToo) {
  for (const char* name : {"COM\xC2\xB9.txt", "sub/LPT\xC2\xB2", "lpt\xC2\xB3 .log"}) {
    EXPECT_FALSE(ot::mkdistro::CheckEntryName(name).empty()) << name;
  }
  EXPECT_TRUE(ot::mkdistro::CheckEntryName("COM\xC2\xB4.txt").empty());
}

// --- The same names on this host's real file system -----------------------------------------

class Jail {
 public:
  Jail() {
    char pattern[] = "/tmp/ot-hostile-XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ / "work" / "dest");
    Write(root_ / "canary.txt", "outside the working directory");
    Write(root_ / "work" / "Distro.zip.keep", "beside the archive");
    fs::create_directories(root_ / "work" / "other");
    Write(root_ / "work" / "other" / "x.txt", "a sibling directory of the destination");
  }
  ~Jail() { fs::remove_all(root_); }

  const fs::path& root() const { return root_; }
  fs::path dest() const { return root_ / "work" / "dest"; }

  // Every path below the root outside the destination, with size and modification time.
  std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> Outside() const {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> seen;
    for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path() == dest()) {
        it.disable_recursion_pending();
        continue;
      }
      const bool file = it->is_regular_file();
      seen[it->path().string()] = {file ? it->file_size() : 0, fs::last_write_time(it->path())};
    }
    return seen;
  }

  static void Write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

 private:
  fs::path root_;
};

class CountingPrompts final : public Prompts {
 public:
  bool AskPassword(const std::wstring&, std::string&) override { return false; }
  FailureAnswer AskOnFailure(const std::wstring&) override {
    ++failures;
    return FailureAnswer::kIgnore;
  }
  int failures = 0;
};

TEST(HostileNamesOnDisk, NothingOutsideTheDestinationChanges) {
  Jail jail;
  const std::string absolute = (jail.root() / "absolute.txt").string();
  const std::string parent = "../../escaped-" + std::to_string(::getpid()) + ".txt";
  const std::vector<std::string> hostile = {"../up.txt", "..\\up2.txt", "a/../../up3.txt", absolute,
                                            "\\" + absolute, parent, "/tmp/../" + absolute.substr(5),
                                            "x.txt:stream", "CON", "... /x.txt", ". ./x.txt"};
  std::vector<TestEntry> entries;
  for (const std::string& name : hostile) entries.push_back(Aes(name, "hostile"));
  entries.push_back(Aes("sub/good.txt", "good"));
  Jail::Write(jail.root() / "work" / "Distro.zip", BuildZip(entries));
  const auto before = jail.Outside();

  const auto files = CreatePlatformFileSystem();
  CountingPrompts prompts;
  const std::wstring archive = zip::Utf8ToWide((jail.root() / "work" / "Distro.zip").string());
  const std::wstring destination = zip::Utf8ToWide(jail.dest().string());
  EXPECT_EQ(UnzipArchive(*files, prompts, archive.c_str(), destination.c_str(), kRightPassword), kUnzipCompleted);

  EXPECT_EQ(prompts.failures, static_cast<int>(hostile.size()));
  EXPECT_EQ(jail.Outside(), before);
  std::vector<std::string> inside;
  for (const auto& entry : fs::recursive_directory_iterator(jail.dest())) {
    inside.push_back(fs::relative(entry.path(), jail.dest()).string());
  }
  std::sort(inside.begin(), inside.end());
  EXPECT_EQ(inside, (std::vector<std::string>{"sub", "sub/good.txt"}));
  EXPECT_FALSE(fs::exists(fs::path("/tmp") / ("escaped-" + std::to_string(::getpid()) + ".txt")));
}

}  // namespace
}  // namespace orv::test
