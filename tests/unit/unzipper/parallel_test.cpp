// The extraction with decoding and closing threads: a differential test of random scenarios,
// one thread against four (of which none, some or all may start), on a disk that may fill up,
// and a few fixed cases (a password typed while later entries are decoded ahead, paths that
// meet, an entry larger than the memory budget, a full disk reached in archive order, thread
// starts refused). Whatever the timing, everything a caller can observe must be what one
// entry after the other gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "archive_error.h"
#include "extraction_schedule.h"
#include "memory_file_system.h"
#include "os/threads.h"
#include "test_zip_writer.h"
#include "unzip.h"
#include "unzip_test_support.h"
#include "zip/name_text.h"

namespace orv::test {
namespace {

constexpr int kEntries = 150;  // more than the entries the archiver keeps in its window

// Lets only the first `allowed` thread starts succeed while it lives (-1: every one), as a
// system out of threads or address space would.
class ThreadStarts {
 public:
  explicit ThreadStarts(int allowed) : allowed_(allowed) { SetThreadStartFilter(&ThreadStarts::Allow, this); }
  ~ThreadStarts() { SetThreadStartFilter(nullptr, nullptr); }
  ThreadStarts(const ThreadStarts&) = delete;
  ThreadStarts& operator=(const ThreadStarts&) = delete;
  int tried() const { return tried_; }

 private:
  static bool Allow(void* self) {
    auto& starts = *static_cast<ThreadStarts*>(self);
    return starts.allowed_ < 0 || starts.tried_++ < starts.allowed_;
  }
  int allowed_;
  int tried_ = 0;
};

struct Threads {
  unsigned decoding;  // the archiver's Threads
  int starts;         // thread starts allowed, -1 for all
};

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

class ParallelExtraction : public ::testing::TestWithParam<Threads> {
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
      return fault;
    };
  }

  int IndexOf(const std::wstring& path) const {
    const auto cut = path.rfind(L"\\f");
    if (cut == std::wstring::npos) return -1;
    return std::stoi(path.substr(cut + 2));
  }
  std::int32_t Run(const char* password = "right") {
    UnzipObserver observer;
    observer.fileExtracted = [&](const std::wstring& path) { reported.push_back(IndexOf(path)); };
    ThreadStarts starts(GetParam().starts);
    return UnzipArchive(files, prompts, Wide(archive).c_str(), Wide(out).c_str(), password, &observer,
                        GetParam().decoding);
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
  std::minstd_rand random{12345};
};

TEST_P(ParallelExtraction, APasswordTypedAtThePromptServesTheEntriesDecodedAhead) {
  prompts.passwords = {std::string("right")};
  EXPECT_EQ(Run("wrong"), kUnzipCompleted);
  // Asked once, for the first encrypted entry; every later one rechecked without a prompt.
  EXPECT_EQ(prompts.passwordAskedFor, std::vector<std::wstring>{zip::Utf8ToWide(NameOf(0))});
  ExpectFilesAsReported();
  EXPECT_EQ(reported.size(), static_cast<std::size_t>(kEntries));
}

// One thread; four; four asked for and none, or two, started (decoding or closing threads).
INSTANTIATE_TEST_SUITE_P(Threads, ParallelExtraction,
                         ::testing::Values(Threads{1, -1}, Threads{4, -1}, Threads{4, 0}, Threads{4, 2}));

// A fatal error (out of memory) in one entry ends everything: the result is 0, no prompt is
// shown, the failing entry's file is gone, every thread has ended and every file is closed when
// the call returns, and exactly the entries before it are there.
TEST_P(ParallelExtraction, AFatalErrorEndsTheExtractionAndRemovesTheFailingFile) {
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
  ThreadStarts starts(GetParam().starts);
  EXPECT_EQ(UnzipArchive(files, prompts, Wide(archive).c_str(), Wide(out).c_str(), "right", &observer,
                         GetParam().decoding),
            kUnzipFailed);
  EXPECT_EQ(failures, std::vector<std::wstring>{L"Out of memory"});
  EXPECT_TRUE(prompts.failureTexts.empty());
  EXPECT_FALSE(fs::exists(out / NameOf(failing)));
  ASSERT_EQ(reported.size(), static_cast<std::size_t>(failing));
  for (int i = 0; i < failing; ++i) EXPECT_EQ(reported[static_cast<std::size_t>(i)], i);
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

// A file that was there before the call, at the path of an entry after the one aborted, is
// left as it was; so is every path after it: the entries before the Abort are all there is.
TEST_P(BigEntries, AbortBeforeABigEntryLeavesWhatOneAfterTheOtherLeaves) {
  auto entries = Entries();
  entries[5].corruptMac = true;
  WriteFile(dir / "out" / "e7.bin", "keep");
  prompts.failures = {FailureAnswer::kAbort};
  EXPECT_EQ(Run(entries, "right"), kUnzipCompleted);
  EXPECT_EQ(prompts.failureTexts, std::vector<std::wstring>{FailurePromptText(ArchiverErrorText(kErrorCorruptData, L""))});
  EXPECT_EQ(reported, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(ReadFile(dir / "out" / "e7.bin"), "keep");
  std::vector<std::string> expected = {"e0.bin", "e1.bin", "e2.bin", "e3.bin", "e4.bin", "e7.bin"};
  EXPECT_EQ(ListFiles(dir / "out"), expected);
  EXPECT_EQ(files.openOutputs.load(), 0);
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

// An entry larger than the memory budget for decoding ahead, behind a first entry whose file is
// slow to create: the decoding threads fill the budget with it and the entries around it, then
// wait; at its turn it streams through to its file.
TEST_P(BigEntries, AnEntryLargerThanTheBudgetStreamsThroughAtItsTurn) {
  auto entries = Entries();
  entries[3].data = std::string(ExtractionSchedule::kBudgetChunks * ExtractionSchedule::kChunkSize + (4 << 20), 'b') + Data(3);
  entries[3].method = 8;
  files.outputFault = [](const std::wstring& path) {
    FaultyFileSystem::OutputFault fault;
    if (path.size() >= 7 && path.compare(path.size() - 7, 7, L"\\e0.bin") == 0) fault.createDelayMicroseconds = 100000;
    return fault;
  };
  EXPECT_EQ(Run(entries, "right"), kUnzipCompleted) << failure;
  std::vector<int> all(kCount);
  for (int i = 0; i < kCount; ++i) all[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(reported, all);
  ExpectFilesAsReported(entries);
}

// A decoding thread's read of the archive fails once, after it has delivered part of a large
// entry: the writer, having written those chunks, decodes the entry again itself at its turn and
// writes only the rest. Nobody is asked, and the file is whole.
TEST_P(BigEntries, ADecodingThreadThatFailsMidwayIsFinishedByTheWriter) {
  auto entries = Entries();
  entries[1].data = Data(7) + std::string(3 * 1024 * 1024, 'c') + Data(8);
  const std::thread::id writer = std::this_thread::get_id();
  std::atomic<std::uint64_t> readAhead{0};
  std::atomic<bool> failed{false};
  files.readFault = [&](std::size_t size) {
    if (std::this_thread::get_id() == writer) return false;
    return readAhead.fetch_add(size) > 1024 * 1024 && !failed.exchange(true);
  };
  files.outputFault = [](const std::wstring& path) {
    FaultyFileSystem::OutputFault fault;
    if (path.size() >= 7 && path.compare(path.size() - 7, 7, L"\\e0.bin") == 0) fault.createDelayMicroseconds = 100000;
    return fault;
  };
  EXPECT_EQ(Run(entries, "right"), kUnzipCompleted) << failure;
  EXPECT_TRUE(failed.load());
  EXPECT_TRUE(prompts.failureTexts.empty());
  EXPECT_EQ(reported.size(), static_cast<std::size_t>(kCount));
  ExpectFilesAsReported(entries);
}

INSTANTIATE_TEST_SUITE_P(Threads, BigEntries, ::testing::Values(2u, 4u));

// The disk fills up in archive order, whatever runs ahead: the first entry's file is slow to
// create (a scanner, a slow share), and one after the other it and the next two fit, the
// fourth meets the full disk, and so does every later one; a prompt answered frees nothing.
TEST(FullDisk, TheEntriesMeetItInArchiveOrder) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 6; ++i) {
    TestEntry entry;
    entry.name = "e" + std::to_string(i) + ".bin";
    entry.data = std::string(500 * 1000, static_cast<char>('a' + i));
    entry.aesStrength = 1;
    entry.password = "right";
    entries.push_back(entry);
  }
  for (const unsigned threads : {1u, 4u}) {
    WindowsMemoryFileSystem memory;
    memory.AddFile(L"C:\\a.zip", BuildZip(entries));
    memory.freeSpace = 1500 * 1000;
    FaultyFileSystem files(memory);
    files.outputFault = [](const std::wstring& path) {
      FaultyFileSystem::OutputFault fault;
      if (path == L"C:\\out\\e0.bin") fault.createDelayMicroseconds = 50000;
      return fault;
    };
    ScriptedPrompts prompts;
    prompts.failures = {FailureAnswer::kIgnore, FailureAnswer::kIgnore, FailureAnswer::kIgnore};
    std::vector<std::wstring> reported;
    UnzipObserver observer;
    observer.fileExtracted = [&](const std::wstring& path) { reported.push_back(path); };
    EXPECT_EQ(UnzipArchive(files, prompts, L"C:\\a.zip", L"C:\\out", "right", &observer, threads), kUnzipCompleted);
    EXPECT_EQ(reported, (std::vector<std::wstring>{L"C:\\out\\e0.bin", L"C:\\out\\e1.bin", L"C:\\out\\e2.bin"}))
        << threads << " threads";
    std::vector<std::wstring> full;
    for (const char* name : {"e3.bin", "e4.bin", "e5.bin"}) {
      full.push_back(FailurePromptText(ArchiverErrorText(kErrorWriteFile, L"C:\\out\\" + zip::Utf8ToWide(name))));
    }
    EXPECT_EQ(prompts.failureTexts, full) << threads << " threads";
    for (int i = 0; i < 6; ++i) {
      const auto* node = memory.Find(L"C:\\out\\e" + std::to_wstring(i) + L".bin");
      EXPECT_EQ(node != nullptr, i < 3) << "e" << i << ", " << threads << " threads";
      if (node != nullptr) {
        EXPECT_EQ(node->data, entries[static_cast<std::size_t>(i)].data);
      }
    }
  }
}

// The threads must not show: random scenarios, each extracted by the calling thread alone and
// with four decoding threads, must give the same prompts in the same order with the same answers taking the
// same effect, the same reports, the same files (content, times, attributes), the same
// result. The scenarios mix entries that are fine, have a password that does not fit, a bad
// authentication code, names that meet or alias, files and directories already in the way
// (some read-only), writes that fail until the user has answered a prompt or always, closes
// that fail (which fail no entry), a disk that fills up at a random point (each answer may
// free some room), a first file slow to create, memory that runs out, and an observer that
// throws; the answers are random. Of the four threads' run, none, some or all of the threads
// it asks for start; the one-thread run starts none.
//
// OT_DIFFERENTIAL_SCENARIOS=N runs N scenarios (default 300), from seed OT_DIFFERENTIAL_SEED
// (default 1); a failure names the seed of its scenario.

namespace differential {

enum class Fault { kNone, kWriteUntilAnswered, kWriteAlways, kCloseAlways, kOutOfMemory };

struct PathFault {
  Fault fault = Fault::kNone;
  int answers = 1;  // for the "until answered" kinds: failure prompts answered before it ends
};

struct Existing {
  std::wstring path;  // below the destination, '\' separators
  bool directory = false;
  std::string data;
  std::uint32_t attributes = 0x20;
};

struct Scenario {
  std::vector<TestEntry> entries;
  std::string password;
  std::wstring destination;  // kDestination, or a folder below it that does not exist yet
  std::vector<Existing> existing;
  std::map<std::wstring, PathFault> faults;  // by relative path, as the in-memory system folds it
  std::deque<std::optional<std::string>> passwordAnswers;
  std::deque<FailureAnswer> failureAnswers;
  int throwAtReport = -1;  // the observer throws on this report (counted from 0)
  std::uint64_t freeSpace = UINT64_MAX;  // room on the disk, shared by every file
  std::uint64_t freedPerAnswer = 0;      // room the user frees before answering a failure prompt
  bool slowFirstCreate = false;          // the first file created takes a while
  int threadStarts = -1;                 // thread starts allowed in the four threads' run (-1: all)
};

const wchar_t kDestination[] = L"C:\\out";
const wchar_t kArchive[] = L"C:\\archive.zip";

std::wstring Folded(const std::wstring& destination, std::wstring path) {
  WindowsMemoryFileSystem probe;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return probe.KeyOf(destination + L"\\" + path);
}

Scenario MakeScenario(std::uint32_t seed) {
  std::mt19937 random(seed);
  const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  const auto pick = [&](const auto& list) { return list[random() % list.size()]; };
  static const std::vector<std::string> names = {"a.txt",      "A.TXT",  "b.bin",     "d/c.txt", "D/c.txt",
                                                 "d/e/f.txt",  "d",      "d/",        "x/y/z.txt", "x/",
                                                 "LONGFI~1.TXT", "longfilename.txt", "q.dat", "r.dat", "s/t.dat"};
  Scenario s;
  const int count = 1 + static_cast<int>(random() % 12);
  for (int i = 0; i < count; ++i) {
    TestEntry entry;
    entry.name = pick(names);
    const bool directory = entry.name.back() == '/';
    if (!directory) {
      entry.data.resize(random() % 3000);
      for (char& c : entry.data) c = static_cast<char>('a' + random() % (chance(50) ? 3 : 26));
      entry.method = chance(30) ? 0 : 8;
      if (chance(70)) {
        entry.aesStrength = 1 + static_cast<int>(random() % 3);
        entry.password = chance(80) ? "one" : "two";
        entry.corruptMac = chance(10);
      }
      entry.externalAttributes = pick(std::vector<std::uint32_t>{0x20, 0x20, 0x21, 0x22, 0x80});
    } else {
      entry.data.clear();
      entry.externalAttributes = 0x10;
    }
    entry.dosDate = static_cast<std::uint16_t>(((40 + random() % 10) << 9) | ((1 + random() % 12) << 5) | (1 + random() % 28));
    entry.dosTime = static_cast<std::uint16_t>((random() % 24) << 11 | (random() % 60) << 5 | (random() % 30));
    s.entries.push_back(entry);
  }
  if (chance(4)) {
    // Much larger than its neighbours: a second thread may start it ahead of the order.
    TestEntry big;
    big.name = pick(names);
    if (big.name.back() == '/') big.name = "big.bin";
    big.data = std::string(1200 * 1024, static_cast<char>('A' + random() % 26));
    big.method = 0;
    big.aesStrength = 1;
    big.password = "one";
    big.corruptMac = chance(30);
    s.entries.insert(s.entries.begin() + static_cast<long>(random() % (s.entries.size() + 1)), big);
  }
  s.password = chance(75) ? "one" : chance(50) ? "two" : "wrong";
  // A destination still to be made: the first entry makes it, and jobs ahead wait for it.
  s.destination = chance(10) ? std::wstring(kDestination) + L"\\New\\Dest" : std::wstring(kDestination);

  static const std::vector<std::wstring> filesInTheWay = {L"a.txt", L"b.bin", L"d\\c.txt", L"longfilename.txt",
                                                          L"q.dat", L"x", L"d\\e"};
  for (const std::wstring& path : filesInTheWay) {
    if (!chance(20) || s.destination != kDestination) continue;
    Existing existing;
    existing.path = path;
    existing.data = "there before";
    existing.attributes = chance(40) ? 0x21 : 0x20;
    s.existing.push_back(existing);
  }
  if (chance(15) && s.destination == kDestination) s.existing.push_back(Existing{L"r.dat", true, "", 0x10});  // a directory at a file's path

  for (const std::string& name : names) {
    if (name.back() == '/' || !chance(12)) continue;
    PathFault fault;
    fault.fault = pick(std::vector<Fault>{Fault::kWriteUntilAnswered, Fault::kWriteUntilAnswered, Fault::kWriteAlways,
                                          Fault::kCloseAlways, Fault::kOutOfMemory});
    fault.answers = 1 + static_cast<int>(random() % 2);
    s.faults[Folded(s.destination, zip::Utf8ToWide(name))] = fault;
  }
  if (chance(10)) s.faults[Folded(s.destination, L"big.bin")] = PathFault{Fault::kWriteUntilAnswered, 1};

  for (std::size_t n = random() % 4; n > 0; --n) {
    s.passwordAnswers.push_back(pick(std::vector<std::optional<std::string>>{"one", "two", "bad", std::nullopt}));
  }
  for (std::size_t n = random() % 6; n > 0; --n) {
    s.failureAnswers.push_back(
        pick(std::vector<FailureAnswer>{FailureAnswer::kIgnore, FailureAnswer::kIgnore, FailureAnswer::kRetry,
                                        FailureAnswer::kRetry, FailureAnswer::kAbort}));
  }
  if (chance(5)) s.throwAtReport = static_cast<int>(random() % 4);
  if (chance(30)) {
    std::uint64_t total = 0;
    for (const TestEntry& entry : s.entries) total += entry.data.size();
    s.freeSpace = random() % (total + 1);
    if (chance(50)) s.freedPerAnswer = random() % 3000;
  }
  s.slowFirstCreate = chance(20);
  s.threadStarts = pick(std::vector<int>{-1, -1, -1, 0, 1, 2, 3, 5});
  return s;
}

// The prompts of a scenario: its scripted answers, every question and answer written down in
// order. A failure prompt answered is what ends the "until answered" faults (the user freed
// the disk before answering).
class LoggingPrompts final : public Prompts {
 public:
  LoggingPrompts(std::vector<std::wstring>& log, WindowsMemoryFileSystem& disk, std::uint64_t freedPerAnswer)
      : log_(log), disk_(disk), freedPerAnswer_(freedPerAnswer) {}
  bool AskPassword(const std::wstring& entryName, std::string& password) override {
    const bool given = script.AskPassword(entryName, password);
    log_.push_back(L"password for " + entryName + L": " + (given ? zip::Utf8ToWide(password) : L"(cancelled)"));
    return given;
  }
  FailureAnswer AskOnFailure(const std::wstring& text) override {
    const FailureAnswer answer = script.AskOnFailure(text);
    log_.push_back(L"failure " + text + L": " +
                   (answer == FailureAnswer::kRetry ? L"Retry" : answer == FailureAnswer::kIgnore ? L"Ignore" : L"Abort"));
    if (disk_.freeSpace != UINT64_MAX) disk_.freeSpace += freedPerAnswer_;  // on the writing thread, as every write
    ++failuresAnswered;
    return answer;
  }

  ScriptedPrompts script;
  std::atomic<int> failuresAnswered{0};

 private:
  std::vector<std::wstring>& log_;
  WindowsMemoryFileSystem& disk_;
  std::uint64_t freedPerAnswer_;
};

struct Observed {
  std::int32_t result = 0;
  std::vector<std::wstring> log;    // prompts, answers, reports and the final error, in order
  std::vector<std::wstring> nodes;  // every file and directory afterwards, with all it holds
  int openOutputs = 0;
  std::vector<std::wstring> violations;
};

std::wstring Describe(const WindowsMemoryFileSystem::Node& node) {
  std::wstring text = (node.directory ? L"dir " : L"file ") + node.path + L" attributes " +
                      std::to_wstring(node.attributes);
  if (!node.directory) {
    text += L" size " + std::to_wstring(node.size) + L" time " +
            (node.timeSet ? std::to_wstring(node.dosDate) + L"/" + std::to_wstring(node.dosTime) : L"unset") +
            L" crc " + std::to_wstring(Crc32(node.data));
  }
  return text;
}

Observed Extract(const Scenario& s, const std::string& zip, unsigned threads, int threadStarts, std::uint32_t seed) {
  WindowsMemoryFileSystem memory;
  memory.AddFile(kArchive, zip);
  memory.AddDirectory(kDestination);
  for (const Existing& existing : s.existing) {
    const std::wstring path = s.destination + L"\\" + existing.path;
    if (existing.directory) {
      memory.AddDirectory(path);
    } else {
      memory.AddFile(path, existing.data, existing.attributes);
    }
  }
  memory.Confine(kDestination);
  memory.freeSpace = s.freeSpace;

  Observed observed;
  LoggingPrompts prompts(observed.log, memory, s.freedPerAnswer);
  prompts.script.passwords = s.passwordAnswers;
  prompts.script.failures = s.failureAnswers;
  FaultyFileSystem files(memory);
  std::atomic<std::uint32_t> delays{seed};
  std::atomic<bool> first{true};
  files.outputFault = [&](const std::wstring& path) {
    FaultyFileSystem::OutputFault fault;
    if (s.slowFirstCreate && first.exchange(false)) fault.createDelayMicroseconds = 3000;
    // Now and then a close that takes a while, to vary the interleaving.
    const std::uint32_t x = delays.fetch_add(0x9E3779B9u) * 2654435761u;
    if ((x >> 24) < 25) fault.closeDelayMicroseconds = (x >> 8) % 400;
    const std::wstring key = memory.KeyOf(path);
    const auto found = s.faults.find(key);
    if (found == s.faults.end()) return fault;
    const PathFault& f = found->second;
    const bool active = prompts.failuresAnswered.load() < f.answers;
    switch (f.fault) {
      case Fault::kNone: break;
      case Fault::kWriteUntilAnswered: fault.failWrite = active; break;
      case Fault::kWriteAlways: fault.failWrite = true; break;
      case Fault::kCloseAlways: fault.failClose = true; break;
      case Fault::kOutOfMemory: fault.throwOnWrite = true; break;
    }
    return fault;
  };

  int reports = 0;
  UnzipObserver observer;
  observer.fileExtracted = [&](const std::wstring& path) {
    observed.log.push_back(L"extracted " + path);
    if (reports++ == s.throwAtReport) throw std::runtime_error("observer");
  };
  observer.failed = [&](const std::wstring& text) { observed.log.push_back(L"failed: " + text); };
  {
    ThreadStarts starts(threadStarts);
    observed.result =
        UnzipArchive(files, prompts, kArchive, s.destination.c_str(), s.password.c_str(), &observer, threads);
  }
  for (const auto& [key, node] : memory.nodes()) {
    if (key != memory.KeyOf(kArchive)) observed.nodes.push_back(Describe(node));
  }
  observed.openOutputs = memory.openOutputs() + files.openOutputs.load();
  observed.violations = memory.violations();
  return observed;
}

std::string Show(const std::vector<std::wstring>& lines) {
  std::string text;
  for (const std::wstring& line : lines) text += "    " + zip::WideToUtf8(line) + "\n";
  return text;
}

std::uint32_t FromEnvironment(const char* name, std::uint32_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

TEST(Differential, FourThreadsDoWhatOneDoes) {
  const std::uint32_t count = FromEnvironment("OT_DIFFERENTIAL_SCENARIOS", 300);
  const std::uint32_t first = FromEnvironment("OT_DIFFERENTIAL_SEED", 1);
  int prompted = 0, aborted = 0, fatal = 0, diskFull = 0;
  for (std::uint32_t seed = first; seed < first + count; ++seed) {
    const Scenario s = MakeScenario(seed);
    const std::string zip = BuildZip(s.entries);
    const Observed one = Extract(s, zip, 1, 0, seed);
    const Observed four = Extract(s, zip, 4, s.threadStarts, seed);
    const bool same = one.result == four.result && one.log == four.log && one.nodes == four.nodes;
    EXPECT_TRUE(same) << "scenario seed " << seed << " (OT_DIFFERENTIAL_SEED=" << seed
                      << " OT_DIFFERENTIAL_SCENARIOS=1 repeats it)\n  one thread: result " << one.result << "\n"
                      << Show(one.log) << Show(one.nodes) << "  four threads: result " << four.result << "\n"
                      << Show(four.log) << Show(four.nodes);
    EXPECT_EQ(one.openOutputs, 0) << "seed " << seed;
    EXPECT_EQ(four.openOutputs, 0) << "seed " << seed;
    EXPECT_EQ(one.violations, std::vector<std::wstring>()) << "seed " << seed;
    EXPECT_EQ(four.violations, std::vector<std::wstring>()) << "seed " << seed;
    if (!same) break;  // one scenario's report is enough to read
    for (const std::wstring& line : one.log) {
      if (line.compare(0, 7, L"failure") == 0) ++prompted;
      if (line.size() > 5 && line.compare(line.size() - 5, 5, L"Abort") == 0) ++aborted;
      if (line.compare(0, 7, L"failure") == 0 && line.find(L"00062") != std::wstring::npos) ++diskFull;
    }
    fatal += one.result == kUnzipFailed;
  }
  // The scenarios must reach what they are for: prompts, Aborts and fatal ends among them.
  if (count >= 300) {
    EXPECT_GT(prompted, static_cast<int>(count) / 4);
    EXPECT_GT(aborted, static_cast<int>(count) / 20);
    EXPECT_GT(fatal, static_cast<int>(count) / 50);
    EXPECT_GT(diskFull, static_cast<int>(count) / 10);
  }
  std::printf("[ differential ] %u scenarios from seed %u: %d failure prompts (%d for a write that failed), %d Aborts, "
              "%d fatal ends\n",
              count, first, prompted, diskFull, aborted, fatal);
}

}  // namespace differential

}  // namespace
}  // namespace orv::test
