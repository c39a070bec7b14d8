// The extraction with several decoding threads and the closing pool under pressure: many
// small entries, closes that take a random while, closes and writes that fail (once per
// file, so that Retry can succeed), each answer given at the prompts. Whatever the timing,
// the prompts, their texts and the reports of extracted files must come in archive order,
// and every file left must be byte for byte the entry's data.
#include <gtest/gtest.h>

#include <map>
#include <algorithm>
#include <mutex>
#include <random>
#include <set>

#include "archive_error.h"
#include "test_zip_writer.h"
#include "unzip.h"
#include "unzip_test_support.h"
#include "zip/name_text.h"

namespace orv::test {
namespace {

constexpr int kEntries = 150;  // more than the jobs the archiver keeps in flight at once

std::string Data(int index) {
  std::string data(static_cast<std::size_t>((index * 977) % 9000), '\0');
  std::uint32_t x = static_cast<std::uint32_t>(index) * 2654435761u + 7;
  for (std::size_t i = 0; i < data.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    data[i] = i % 3 ? static_cast<char>('a' + (x >> 28)) : static_cast<char>(x >> 24);
  }
  return data;
}

std::string NameOf(int index) { return "d" + std::to_string(index % 3) + "/f" + std::to_string(index) + ".bin"; }

enum class Fault { kNone, kClose, kWrite };

Fault FaultOf(int index) {
  if (index % 7 == 3) return Fault::kClose;
  if (index % 11 == 5) return Fault::kWrite;
  return Fault::kNone;
}

struct Scenario {
  unsigned workers;
  FailureAnswer answer;
};

class ParallelExtraction : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    std::vector<TestEntry> entries;
    for (int i = 0; i < kEntries; ++i) {
      TestEntry entry;
      entry.name = NameOf(i);
      entry.data = Data(i);
      entry.method = i % 5 == 0 ? 0 : 8;
      if (i % 4 != 1) {
        entry.aesStrength = 1 + i % 3;
        entry.password = "right";
      }
      entries.push_back(entry);
    }
    WriteFile(archive, BuildZip(entries));
    files.outputFault = [this](const std::wstring& path) {
      FaultyFileSystem::OutputFault fault;
      const std::lock_guard<std::mutex> lock(mutex);
      fault.closeDelayMicroseconds = static_cast<std::uint32_t>(random() % 3000);
      const int index = IndexOf(path);
      // The first entry holds back, so that the next ones are in flight when it asks.
      if (index == 0) fault.createDelayMicroseconds = 20000;
      // Only the first attempt at a file fails.
      if (injectFaults && index >= 0 && attempts[index]++ == 0) {
        fault.failClose = FaultOf(index) == Fault::kClose;
        fault.failWrite = FaultOf(index) == Fault::kWrite;
      }
      return fault;
    };
  }

  int IndexOf(const std::wstring& path) const {
    const auto cut = path.rfind(L"\\f");
    if (cut == std::wstring::npos) return -1;
    return std::stoi(path.substr(cut + 2));
  }
  std::wstring OutPath(int index) const {
    std::wstring name = zip::Utf8ToWide(NameOf(index));
    for (wchar_t& c : name) {
      if (c == L'/') c = L'\\';
    }
    return Wide(out) + L"\\" + name;
  }
  std::wstring FaultPrompt(int index) const {
    return FailurePromptText(ArchiverErrorText(kErrorWriteFile, OutPath(index)));
  }

  std::int32_t Run(const char* password = "right") {
    UnzipObserver observer;
    observer.fileExtracted = [&](const std::wstring& path) { reported.push_back(IndexOf(path)); };
    return UnzipArchive(files, prompts, Wide(archive).c_str(), Wide(out).c_str(), password, &observer,
                        GetParam().workers);
  }

  // Every file left is one reported, with the entry's bytes; nothing is left open.
  void ExpectFilesAsReported() {
    std::vector<std::string> expected;
    for (int index : reported) {
      expected.push_back(NameOf(index));
      EXPECT_EQ(ReadFile(out / NameOf(index)), Data(index)) << NameOf(index);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListFiles(out), expected);
    EXPECT_EQ(files.openOutputs.load(), 0);
  }

  ScratchDir dir;
  fs::path archive = dir / "a.zip";
  fs::path out = dir / "out";
  FaultyFileSystem files;
  ScriptedPrompts prompts;
  std::vector<int> reported;
  std::mutex mutex;
  std::map<int, int> attempts;
  std::minstd_rand random{12345};
  bool injectFaults = true;
};

TEST_P(ParallelExtraction, FailedClosesAndWritesArePromptedInOrderAndAnsweredAsAsked) {
  const FailureAnswer answer = GetParam().answer;
  for (int i = 0; i < kEntries; ++i) {
    if (FaultOf(i) != Fault::kNone) prompts.failures.push_back(answer);
  }
  EXPECT_EQ(Run(), kUnzipCompleted);

  std::vector<std::wstring> texts;
  std::vector<int> extracted;
  for (int i = 0; i < kEntries; ++i) {
    if (FaultOf(i) != Fault::kNone) {
      texts.push_back(FaultPrompt(i));
      if (answer == FailureAnswer::kAbort) break;
    }
    if (FaultOf(i) == Fault::kNone || answer == FailureAnswer::kRetry) extracted.push_back(i);
  }
  EXPECT_EQ(prompts.failureTexts, texts);
  if (answer == FailureAnswer::kAbort) {
    // Entries before the failed one are all there; after it, only those that were already
    // in flight, still in order (the first failure is a close: even one decoding thread has
    // gone on meanwhile). The failed entry's file is gone.
    const int failed = 3;
    ASSERT_GE(reported.size(), extracted.size());
    EXPECT_EQ(std::vector<int>(reported.begin(), reported.begin() + static_cast<long>(extracted.size())), extracted);
    for (std::size_t k = extracted.size(); k < reported.size(); ++k) {
      EXPECT_GT(reported[k], failed);
      if (k > extracted.size()) {
        EXPECT_GT(reported[k], reported[k - 1]);
      }
    }
  } else {
    EXPECT_EQ(reported, extracted);
  }
  ExpectFilesAsReported();
}

TEST_P(ParallelExtraction, APasswordTypedAtThePromptServesTheEntriesAlreadyInFlight) {
  injectFaults = false;
  prompts.passwords = {std::string("right")};
  EXPECT_EQ(Run("wrong"), kUnzipCompleted);
  // Asked once, for the first encrypted entry; every later one rechecked without a prompt.
  EXPECT_EQ(prompts.passwordAskedFor, std::vector<std::wstring>{zip::Utf8ToWide(NameOf(0))});
  ExpectFilesAsReported();
  EXPECT_EQ(reported.size(), static_cast<std::size_t>(kEntries));
}

INSTANTIATE_TEST_SUITE_P(Answers, ParallelExtraction,
                         ::testing::Values(Scenario{1, FailureAnswer::kIgnore}, Scenario{4, FailureAnswer::kIgnore},
                                           Scenario{1, FailureAnswer::kRetry}, Scenario{4, FailureAnswer::kRetry},
                                           Scenario{1, FailureAnswer::kAbort}, Scenario{4, FailureAnswer::kAbort}),
                         [](const ::testing::TestParamInfo<Scenario>& test) {
                           const char* answer = test.param.answer == FailureAnswer::kIgnore  ? "Ignore"
                                                : test.param.answer == FailureAnswer::kRetry ? "Retry"
                                                                                             : "Abort";
                           return std::string(answer) + std::to_string(test.param.workers) + "Workers";
                         });

// A fatal error (out of memory) in one entry ends everything: the result is 0, no prompt is
// shown, the failing entry's file is gone, every thread has ended and every file is closed when
// the call returns, and what was reported complete is there.
TEST_P(ParallelExtraction, AFatalErrorEndsTheExtractionAndRemovesTheFailingFile) {
  injectFaults = false;
  const int failing = 20;
  auto delays = files.outputFault;
  files.outputFault = [&, delays](const std::wstring& path) {
    FaultyFileSystem::OutputFault fault = delays(path);
    fault.throwOnWrite = IndexOf(path) == failing;
    return fault;
  };
  std::vector<std::wstring> failures;
  UnzipObserver observer;
  observer.fileExtracted = [&](const std::wstring& path) { reported.push_back(IndexOf(path)); };
  observer.failed = [&](const std::wstring& text) { failures.push_back(text); };
  EXPECT_EQ(UnzipArchive(files, prompts, Wide(archive).c_str(), Wide(out).c_str(), "right", &observer,
                         GetParam().workers),
            kUnzipFailed);
  EXPECT_EQ(failures, std::vector<std::wstring>{L"Out of memory"});
  EXPECT_TRUE(prompts.failureTexts.empty());
  EXPECT_FALSE(fs::exists(out / NameOf(failing)));
  ASSERT_GE(reported.size(), static_cast<std::size_t>(failing));
  for (int i = 0; i < failing; ++i) EXPECT_EQ(reported[static_cast<std::size_t>(i)], i);
  for (std::size_t k = failing; k < reported.size(); ++k) EXPECT_GT(reported[k], failing);
  ExpectFilesAsReported();
}

// Entries with two passwords, alternating: one after the other, each entry after the first
// asks for the other password. With several threads, later entries have already been
// decoded with the password that was right for them but has been replaced since; each must
// still be tried with the new one and asked for, in order.
TEST(ParallelPasswords, EntriesDecodedWithAReplacedPasswordAreTriedAgainInOrder) {
  ScratchDir dir;
  std::vector<TestEntry> entries;
  std::vector<std::wstring> asked;
  ScriptedPrompts prompts;
  for (int i = 0; i < 12; ++i) {
    TestEntry entry;
    entry.name = "e" + std::to_string(i) + ".txt";
    entry.data = Data(i + 40);
    entry.aesStrength = 1;
    entry.password = i % 2 ? "two" : "one";
    entries.push_back(entry);
    if (i > 0) {
      asked.push_back(zip::Utf8ToWide(entry.name));
      prompts.passwords.push_back(entry.password);
    }
  }
  WriteFile(dir / "a.zip", BuildZip(entries));
  FaultyFileSystem files;
  std::vector<std::wstring> reported;
  UnzipObserver observer;
  observer.fileExtracted = [&](const std::wstring& path) { reported.push_back(path); };
  EXPECT_EQ(UnzipArchive(files, prompts, Wide(dir / "a.zip").c_str(), Wide(dir / "out").c_str(), "one", &observer,
                         4),
            kUnzipCompleted);
  EXPECT_EQ(prompts.passwordAskedFor, asked);
  ASSERT_EQ(reported.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(reported[i], Wide(dir / "out") + L"\\" + zip::Utf8ToWide(entries[i].name));
    EXPECT_EQ(ReadFile(dir / "out" / entries[i].name), entries[i].data);
  }
}

// Entries whose output paths meet: the same file several times, and a file that a later
// entry needs as a directory. One after the other, the last copy wins and the later entry
// fails on its directory; several threads must give exactly that.
TEST(ParallelPaths, EntriesMeetingOnAPathRunOneAfterTheOther) {
  for (int round = 0; round < 5; ++round) {
    ScratchDir dir;
    std::vector<TestEntry> entries;
    for (int i = 0; i < 8; ++i) {
      TestEntry entry;
      entry.name = "same.txt";
      entry.data = Data(60 + i);
      entry.aesStrength = 1;
      entry.password = "right";
      entries.push_back(entry);
      entry.name = "other" + std::to_string(i) + ".txt";
      entries.push_back(entry);
    }
    TestEntry file;
    file.name = "x";
    file.data = Data(90);
    TestEntry below;
    below.name = "x/y.txt";
    below.data = "y";
    entries.push_back(file);
    entries.push_back(below);
    WriteFile(dir / "a.zip", BuildZip(entries));

    FaultyFileSystem files;
    files.outputFault = [](const std::wstring&) {
      FaultyFileSystem::OutputFault fault;
      fault.closeDelayMicroseconds = 2000;
      return fault;
    };
    ScriptedPrompts prompts;
    prompts.failures = {FailureAnswer::kIgnore};
    std::vector<std::wstring> reported;
    UnzipObserver observer;
    observer.fileExtracted = [&](const std::wstring& path) { reported.push_back(path); };
    const std::wstring out = Wide(dir / "out");
    EXPECT_EQ(UnzipArchive(files, prompts, Wide(dir / "a.zip").c_str(), out.c_str(), "right", &observer, 4),
              kUnzipCompleted);
    EXPECT_EQ(ReadFile(dir / "out" / "same.txt"), Data(67));
    EXPECT_EQ(ReadFile(dir / "out" / "x"), Data(90));
    EXPECT_EQ(prompts.failureTexts,
              std::vector<std::wstring>{FailurePromptText(ArchiverErrorText(kErrorCannotCreateDirectory, out + L"\\x\\"))});
    ASSERT_EQ(reported.size(), 17u);
    EXPECT_EQ(reported[14], out + L"\\same.txt");
    EXPECT_EQ(reported[16], out + L"\\x");
  }
}

// Archives with a few entries much larger than the rest, which a second thread may start
// ahead of their turn: wrong passwords, an Abort before them and a path they share with
// other entries must still give what one entry after the other gives.
class BigEntries : public ::testing::TestWithParam<unsigned> {
 protected:
  static constexpr int kCount = 30;

  static std::string Content(int index) {
    return index == 10 || index == 20 ? Data(9000 + index) + std::string(1536 * 1024, static_cast<char>(index))
                                      : Data(index + 100);
  }
  std::vector<TestEntry> Entries() const {
    std::vector<TestEntry> entries;
    for (int i = 0; i < kCount; ++i) {
      TestEntry entry;
      entry.name = "e" + std::to_string(i) + ".bin";
      entry.data = Content(i);
      entry.method = 0;  // stored: the big ones stay big in the archive
      entry.aesStrength = 1;
      entry.password = "right";
      entries.push_back(entry);
    }
    return entries;
  }
  std::int32_t Run(const std::vector<TestEntry>& entries, const char* password) {
    WriteFile(dir / "a.zip", BuildZip(entries));
    UnzipObserver observer;
    observer.fileExtracted = [&](const std::wstring& path) {
      const auto cut = path.rfind(L"\\e");  // "...\e12.bin"; -1 for the other names
      reported.push_back(cut == std::wstring::npos ? -1 : std::stoi(path.substr(cut + 2)));
    };
    observer.failed = [&](const std::wstring& text) { failure = zip::WideToUtf8(text); };
    return UnzipArchive(files, prompts, Wide(dir / "a.zip").c_str(), Wide(dir / "out").c_str(), password,
                        &observer, GetParam());
  }
  void ExpectFilesAsReported(const std::vector<TestEntry>& entries) {
    std::set<std::string> expected;
    for (int index : reported) {
      expected.insert(entries[static_cast<std::size_t>(index)].name);
      EXPECT_TRUE(ReadFile(dir / "out" / entries[static_cast<std::size_t>(index)].name) ==
                  entries[static_cast<std::size_t>(index)].data)
          << entries[static_cast<std::size_t>(index)].name;
    }
    const std::vector<std::string> listed = ListFiles(dir / "out");
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), expected);
    EXPECT_EQ(files.openOutputs.load(), 0);
  }

  ScratchDir dir;
  FaultyFileSystem files;
  ScriptedPrompts prompts;
  std::vector<int> reported;
  std::string failure;  // the text of an error that ended the extraction
};

TEST_P(BigEntries, AWrongPasswordIsAskedForOnceInOrder) {
  prompts.passwords = {std::string("right")};
  const auto entries = Entries();
  EXPECT_EQ(Run(entries, "wrong"), kUnzipCompleted);
  EXPECT_EQ(prompts.passwordAskedFor, std::vector<std::wstring>{L"e0.bin"});
  std::vector<int> all(kCount);
  for (int i = 0; i < kCount; ++i) all[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(reported, all);
  ExpectFilesAsReported(entries);
}

TEST_P(BigEntries, AbortBeforeABigEntryKeepsOnlyWhatWasInFlight) {
  auto entries = Entries();
  entries[5].corruptMac = true;
  prompts.failures = {FailureAnswer::kAbort};
  EXPECT_EQ(Run(entries, "right"), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, std::vector<std::wstring>{FailurePromptText(ArchiverErrorText(kErrorCorruptData, L""))});
  ASSERT_GE(reported.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(reported[static_cast<std::size_t>(i)], i);
  for (std::size_t k = 5; k < reported.size(); ++k) {
    EXPECT_GT(reported[k], 5);
    if (k > 5) {
      EXPECT_GT(reported[k], reported[k - 1]);
    }
  }
  ExpectFilesAsReported(entries);
}

TEST_P(BigEntries, ABigEntrySharingAPathWaitsItsTurn) {
  auto entries = Entries();
  entries[3].name = "dup.bin";
  entries[10].name = "dup.bin";  // big
  entries[25].name = "dup.bin";
  entries[12].name = "e20.bin/below.bin";  // makes a directory where the big e20.bin goes
  prompts.failures = {FailureAnswer::kIgnore};
  EXPECT_EQ(Run(entries, "right"), kUnzipCompleted) << failure;
  EXPECT_TRUE(ReadFile(dir / "out" / "dup.bin") == entries[25].data);
  EXPECT_EQ(ReadFile(dir / "out" / "e20.bin" / "below.bin"), entries[12].data);
  EXPECT_EQ(prompts.failureTexts,
            std::vector<std::wstring>{FailurePromptText(
                ArchiverErrorText(kErrorCannotCreateFile, Wide(dir / "out") + L"\\e20.bin"))});
}

INSTANTIATE_TEST_SUITE_P(Workers, BigEntries, ::testing::Values(2u, 4u));

}  // namespace
}  // namespace orv::test
