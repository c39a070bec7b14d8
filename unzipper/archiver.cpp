#include "archiver.h"

#include <algorithm>
#include <deque>
#include <set>
#include <vector>

#include "crypto/wipe.h"
#include "os/threads.h"
#include "zip/name_text.h"
#include "zip/path_check.h"
#include "zip/zip_format.h"

namespace orv {

namespace {

constexpr std::uint32_t kAttributeReadOnly = 0x01;
// What SetFileAttributes accepts of an entry's attributes: read-only, hidden, system, archive,
// normal, temporary, offline, not content-indexed. Archives made on Unix carry the mode in the
// upper half and flag bits (0x8000) that Windows would reject.
constexpr std::uint32_t kSettableAttributes = 0x31A7;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveOnly(std::wstring_view path) { return path.size() == 2 && path[1] == L':'; }

bool IsFloppyPath(std::wstring_view path) {
  return path.size() >= 2 && path[1] == L':' &&
         (path[0] == L'A' || path[0] == L'a' || path[0] == L'B' || path[0] == L'b');
}

wchar_t FoldCase(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

bool MatchWildcard(std::wstring_view text, std::wstring_view mask) {
  std::size_t t = 0, m = 0;
  std::size_t starMask = std::wstring_view::npos, starText = 0;
  while (t < text.size()) {
    if (m < mask.size() && (mask[m] == L'?' || FoldCase(mask[m]) == FoldCase(text[t]))) {
      ++t, ++m;
    } else if (m < mask.size() && mask[m] == L'*') {
      starMask = m++;
      starText = t;
    } else if (starMask != std::wstring_view::npos) {
      m = starMask + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == L'*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesMask(std::wstring_view name, std::wstring_view mask, bool recurse) {
  const bool maskHasPath = mask.find_first_of(L"\\/") != std::wstring_view::npos;
  if (maskHasPath) return MatchWildcard(name, mask);
  // A mask without a path is matched against the last component ("dir/" counts as "dir");
  // without recursion only entries at the top level can match.
  std::wstring_view last = name;
  while (!last.empty() && IsSeparator(last.back())) last.remove_suffix(1);
  const auto cut = last.find_last_of(L"\\/");
  if (cut != std::wstring_view::npos) {
    if (!recurse) return false;
    last.remove_prefix(cut + 1);
  }
  return MatchWildcard(last, mask);
}

Archiver::Archiver(FileSystem& fileSystem, Prompts& prompts) : fs_(fileSystem), prompts_(prompts) {}

Archiver::~Archiver() {
  Close();
  crypto::SecureWipe(Password.data(), Password.size());
}

Status Archiver::Open() {
  Close();
  if (FileName.empty()) return Status::Archiver(kErrorBlankFileName).WithObjectName(Name);
  if (!IsFloppyPath(FileName) && !fs_.IsRemovableDrive(FileName)) {
    const std::uint32_t attributes = fs_.GetAttributes(FileName);
    if (attributes == FileSystem::kNoAttributes || (attributes & zip::kAttributeDirectory)) {
      return Status::Archiver(kErrorFileNotFound, FileName).WithObjectName(Name);
    }
  }
  std::unique_ptr<InputFile> file = fs_.OpenForReading(FileName);
  if (!file) return Status::Archiver(kErrorCannotOpenArchive).WithObjectName(Name);
  int code = 0;
  switch (zip::ReadCentralDirectory(*file, directory_)) {
    case zip::OpenResult::kOk: break;
    case zip::OpenResult::kDamaged: code = kErrorArchiveDamaged; break;
    case zip::OpenResult::kNoZip64End: code = kErrorNoZip64EndRecord; break;
    case zip::OpenResult::kNotAnArchive:
    case zip::OpenResult::kReadError: code = kErrorCannotOpenArchive; break;
  }
  if (code != 0) {
    directory_ = zip::CentralDirectory();
    return Status::Archiver(code).WithObjectName(Name);
  }
  archive_ = std::move(file);
  return Status::Ok();
}

void Archiver::Close() {
  archive_.reset();
  directory_ = zip::CentralDirectory();
}

std::wstring Archiver::DecodeName(const zip::Entry& entry) {
  if (UnicodeFilenames && (entry.flags & zip::kFlagUtf8)) return zip::Utf8ToWide(entry.storedName);
  return fs_.NarrowToWide(entry.storedName, OEMFileNames ? NarrowCodePage::kOem : NarrowCodePage::kAnsi);
}

bool Archiver::IsSelected(const std::wstring& name, std::uint32_t entryAttributes,
                          const std::wstring& fileMask, std::uint32_t attributes,
                          const std::wstring& exclusionMask) const {
  if ((entryAttributes & kAllEntryAttributes & ~attributes) != 0) return false;
  if (!MatchesMask(name, fileMask, Recurse)) return false;
  return exclusionMask.empty() || !MatchesMask(name, exclusionMask, Recurse);
}

namespace {

enum class JobState { kWaiting, kRunning, kNeedsPassword, kClosing, kDone };
enum class PasswordReply { kNone, kRecheck, kSkip };

// Closes waiting for a closing thread; each holds an open file, so their number is bounded.
constexpr std::size_t kMaxPendingCloses = 16;
// Jobs started and not yet reported, at most: their state lives in a ring of this many slots,
// so that the memory of a run does not grow with the number of entries.
constexpr std::size_t kJobWindow = 64;
// An entry this large (compressed) may start before the entries ahead of it in the window
// when it is several times larger than the next one in order, so that it does not end the
// run alone on one processor while the others are idle.
constexpr std::uint64_t kBigEntry = 1024 * 1024;
constexpr std::uint64_t kBigEntryFactor = 4;
// Closing threads. They spend their time waiting for the system (a scanner looking at the
// file), not on a processor, so there are more of them than decoding threads: at 5 ms a close
// and a few hundred small files a second, four would fall behind at the end of a run.
constexpr unsigned kClosers = 8;

// The relative output path of an entry ('\' separators; flat without CreateDirs) and its
// directory part with the trailing '\'. False for a name that leaves the destination.
bool OutputPathOf(const std::wstring& name, bool createDirs, std::wstring& working, std::wstring& directoryPart) {
  working = name;
  for (wchar_t& c : working) {
    if (c == L'/') c = L'\\';
  }
  if (!zip::IsSafeEntryName(working)) return false;
  const auto cut = working.rfind(L'\\');
  directoryPart = cut == std::wstring::npos ? std::wstring() : working.substr(0, cut + 1);
  if (!createDirs) {
    working.erase(0, directoryPart.size());
    directoryPart.clear();
  }
  return true;
}

// True when a file at one key and a file at the other could not both be written in either
// order with the same result: the same path, or one a directory on the other's path.
bool KeysMeet(const std::wstring& a, const std::wstring& b) {
  const std::wstring& shorter = a.size() <= b.size() ? a : b;
  const std::wstring& longer = a.size() <= b.size() ? b : a;
  if (longer.compare(0, shorter.size(), shorter) != 0) return false;
  return longer.size() == shorter.size() || longer[shorter.size()] == L'\\';
}

// What Windows would take for the same file: ASCII letters without case, trailing dots and
// blanks of a component dropped. Every other character folds to one value, so that two names
// Windows might see as one always count as one (the price is some needless waiting).
std::wstring PathKey(const std::wstring& working) {
  std::wstring key;
  key.reserve(working.size());
  std::size_t componentStart = 0;
  for (wchar_t c : working) {
    if (c == L'\\') {
      while (key.size() > componentStart && (key.back() == L'.' || key.back() == L' ')) key.pop_back();
      if (key.size() > componentStart) key += L'\\';
      componentStart = key.size();
      continue;
    }
    key += c >= 0x80 ? L'\x80' : FoldCase(c);
  }
  while (key.size() > componentStart && (key.back() == L'.' || key.back() == L' ')) key.pop_back();
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  return key;
}

// The archive seen by one thread: its own position, reads serialised on the shared handle.
class ArchiveView final : public InputFile {
 public:
  ArchiveView(InputFile& archive, Mutex& mutex) : archive_(archive), mutex_(mutex) {}
  bool Size(std::uint64_t& size) override {
    MutexLock lock(mutex_);
    return archive_.Size(size);
  }
  bool Seek(std::uint64_t offset) override {
    position_ = offset;
    return true;
  }
  bool Read(void* buffer, std::size_t size, std::size_t& got) override {
    MutexLock lock(mutex_);
    got = 0;
    if (!archive_.Seek(position_) || !archive_.Read(buffer, size, got)) return false;
    position_ += got;
    return true;
  }

 private:
  InputFile& archive_;
  Mutex& mutex_;
  std::uint64_t position_ = 0;
};

}  // namespace

struct Archiver::Job {
  std::size_t index = SIZE_MAX;  // the job this slot holds, in the order of the selected entries
  const zip::Entry* entry = nullptr;
  std::wstring name;  // decoded; prompts and error texts show it
  std::wstring key;   // PathKey of the output path
  bool started = false;
  JobState state = JobState::kWaiting;
  PasswordReply reply = PasswordReply::kNone;
  unsigned triedGeneration = 0;  // password generation that failed the check
  bool usedPassword = false;     // decoded with the password of usedGeneration
  unsigned usedGeneration = 0;
  bool undecided = false;  // waits for the calling thread's decision (see Run::undecided)
  // The outcome, written by the thread that owns the job until it is kDone.
  Status status;
  bool skipped = false;
  bool wroteFile = false;
  std::wstring fullPath;
  std::unique_ptr<OutputFile> out;
};

// A thread that may wait for the run's state to change. It is woken only while it waits:
// most changes find every thread busy, and then cost no system call.
struct Archiver::Sleeper {
  Event wake;
  bool waiting = false;  // guarded by the run's mutex
};

struct Archiver::Worker {
  Archiver* archiver = nullptr;
  Run* run = nullptr;
  std::unique_ptr<zip::EntryReader> reader;
  std::unique_ptr<ArchiveView> view;
  Sleeper sleeper;
  Thread thread;
};

struct Archiver::Closer {
  Archiver* archiver = nullptr;
  Run* run = nullptr;
  Sleeper sleeper;
  Thread thread;
};

struct Archiver::Run {
  Mutex mutex;  // guards everything below but the readers, views and events
  Mutex archiveMutex;
  std::vector<const zip::Entry*> selected;  // the entries to extract, in archive order
  std::vector<Job> slots;                   // job j lives in slot j % size
  std::wstring outputBase;
  bool needsFlush = false;

  std::size_t reported = 0;          // jobs before this one are done with
  std::size_t nextJob = 0;           // every job before this one has started
  std::size_t bigJob = SIZE_MAX;     // a job started ahead of its turn, until it is reported
  bool stopping = false;             // no new job starts (Abort, a fatal error)
  bool finished = false;             // the calling thread is done: idle workers end
  bool closersEnd = false;           // every worker has ended: closers end when idle
  bool fatalSeen = false;
  Status fatal;
  unsigned passwordGeneration = 0;   // counts the changes of the password
  // Jobs that asked for a password or failed, until they are reported. No job after one of
  // them starts meanwhile: what the answer will be (Abort?) decides whether it should. So with
  // one worker the entries run as one after the other, only the closing overlaps.
  std::set<std::size_t> undecided;
  std::multiset<std::wstring> pendingPaths;  // keys of jobs started and not yet reported
  std::multiset<std::wstring> pendingDirs;   // their directory parts, every level
  std::deque<std::size_t> closeQueue;

  Sleeper caller;  // the calling thread
  std::unique_ptr<zip::EntryReader> reader;  // the calling thread's, for an entry it repeats
  std::unique_ptr<ArchiveView> view;
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<std::unique_ptr<Closer>> closers;

  Job& JobAt(std::size_t index) { return slots[index % slots.size()]; }

  static void Wake(Sleeper& sleeper) {
    if (!sleeper.waiting) return;
    sleeper.waiting = false;
    sleeper.wake.Set();
  }
  // With mutex held, after any change another thread may wait for.
  void WakeAll() {
    Wake(caller);
    for (auto& worker : workers) Wake(worker->sleeper);
    for (auto& closer : closers) Wake(closer->sleeper);
  }
  // Called with mutex held; returns with it held, after a change (or spuriously).
  void WaitOn(Sleeper& sleeper) {
    sleeper.waiting = true;
    mutex.Unlock();
    sleeper.wake.Wait();
    mutex.Lock();
    sleeper.waiting = false;
  }
  void MarkUndecided(Job& job) {
    undecided.insert(job.index);
    job.undecided = true;
  }
  bool MayStart(std::size_t index) const {
    return !stopping && (undecided.empty() || *undecided.begin() > index);
  }
  void RecordFatal(const Status& status) {
    if (!fatalSeen) fatal = status;
    fatalSeen = true;
    stopping = true;
  }

  template <typename Visit>
  static void ForEachParent(const std::wstring& key, Visit visit) {
    for (std::size_t cut = key.find(L'\\'); cut != std::wstring::npos; cut = key.find(L'\\', cut + 1)) {
      visit(key.substr(0, cut));
    }
  }
  bool Conflicts(const Job& job) const {
    if (pendingPaths.count(job.key) != 0 || pendingDirs.count(job.key) != 0) return true;
    bool found = false;
    ForEachParent(job.key, [&](const std::wstring& parent) { found = found || pendingPaths.count(parent) != 0; });
    return found;
  }
  void MarkPending(const Job& job) {
    pendingPaths.insert(job.key);
    ForEachParent(job.key, [&](const std::wstring& parent) { pendingDirs.insert(parent); });
  }
  void ClearPending(const Job& job) {
    pendingPaths.erase(pendingPaths.find(job.key));
    ForEachParent(job.key, [&](const std::wstring& parent) { pendingDirs.erase(pendingDirs.find(parent)); });
  }
};

namespace {

// Lets go of a held mutex for a while (a prompt, a callback); holds it again afterwards, also
// when an exception leaves the scope.
class Unlocked {
 public:
  explicit Unlocked(Mutex& mutex) : mutex_(mutex) { mutex_.Unlock(); }
  ~Unlocked() { mutex_.Lock(); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace

Status Archiver::ExtractFiles(const std::wstring& fileMask, std::uint32_t attributes,
                              const std::wstring& exclusionMask) {
  if (!archive_) return Status::Archiver(kErrorCannotOpenArchive).WithObjectName(Name);
  std::wstring outputBase = BaseDir.empty() ? fs_.CurrentDirectory() : BaseDir;
  // Without a base the entries would land at the root of the current drive.
  if (outputBase.empty()) return Status::Fatal(L"Cannot determine the current directory");
  if (outputBase.back() != L'\\') outputBase += L'\\';

  Run run;
  run.outputBase = outputBase;
  // Every output path begins with the base, so one answer serves every file.
  run.needsFlush = FlushBuffers && (IsFloppyPath(outputBase) || fs_.IsRemovableDrive(outputBase));
  for (const zip::Entry& entry : directory_.entries) {
    if (IsSelected(DecodeName(entry), entry.externalAttributes, fileMask, attributes, exclusionMask)) {
      run.selected.push_back(&entry);
    }
  }
  if (run.selected.empty()) return Status::Ok();
  run.slots.resize(std::min(kJobWindow, run.selected.size()));

  unsigned workerCount = Workers != 0 ? Workers : ProcessorCount();
  workerCount = std::min<unsigned>(workerCount, kMaxWorkers);
  workerCount = static_cast<unsigned>(std::min<std::size_t>(workerCount, run.selected.size()));
  const auto closerCount = static_cast<unsigned>(std::min<std::size_t>(kClosers, run.selected.size()));
  for (unsigned i = 0; i < workerCount; ++i) {
    auto worker = std::make_unique<Worker>();
    worker->archiver = this;
    worker->run = &run;
    worker->reader = std::make_unique<zip::EntryReader>();
    worker->view = std::make_unique<ArchiveView>(*archive_, run.archiveMutex);
    run.workers.push_back(std::move(worker));
  }
  for (unsigned i = 0; i < closerCount; ++i) {
    auto closer = std::make_unique<Closer>();
    closer->archiver = this;
    closer->run = &run;
    run.closers.push_back(std::move(closer));
  }

  // From the first thread started on, every way out of here ends them all first.
  struct Shutdown {
    Run& run;
    ~Shutdown() {
      run.mutex.Lock();
      run.finished = true;
      run.stopping = true;
      for (Job& job : run.slots) {
        if (job.state == JobState::kNeedsPassword) job.reply = PasswordReply::kSkip;
      }
      run.WakeAll();
      run.mutex.Unlock();
      for (auto& worker : run.workers) worker->thread.Join();
      run.mutex.Lock();
      run.closersEnd = true;
      run.WakeAll();
      run.mutex.Unlock();
      for (auto& closer : run.closers) closer->thread.Join();
    }
  } shutdown{run};

  std::size_t closersStarted = 0, workersStarted = 0;
  for (auto& closer : run.closers) closersStarted += closer->thread.Start(&Archiver::CloserMain, closer.get());
  if (closersStarted > 0) {
    for (auto& worker : run.workers) workersStarted += worker->thread.Start(&Archiver::WorkerMain, worker.get());
  }
  if (workersStarted == 0) return Status::Fatal(L"Cannot start a thread");
  return Coordinate(run);
}

// The calling thread: takes the jobs in archive order, answers for each what only it may
// (prompts, the report of a file extracted) and decides what follows.
Status Archiver::Coordinate(Run& run) {
  MutexLock lock(run.mutex);
  bool draining = false;  // after Abort or a fatal error: no prompt, jobs in flight just end
  std::size_t i = 0;
  while (i < run.selected.size()) {
    Job& job = run.JobAt(i);
    if (run.fatalSeen) draining = true;
    if (job.index != i || !job.started) {
      if (run.stopping) {
        // Never to start; a larger entry after it may have started ahead of its turn.
        run.reported = ++i;
        continue;
      }
      run.WaitOn(run.caller);
      continue;
    }
    if (job.state == JobState::kNeedsPassword && job.reply == PasswordReply::kNone) {
      if (draining) {
        job.reply = PasswordReply::kSkip;
      } else if (job.triedGeneration != run.passwordGeneration) {
        job.reply = PasswordReply::kRecheck;  // tried before the password was changed
      } else {
        std::string typed;
        bool given;
        {
          Unlocked unlocked(run.mutex);
          given = prompts_.AskPassword(job.name, typed);
        }
        if (given) ReplacePassword(run, std::move(typed));
        job.reply = given ? PasswordReply::kRecheck : PasswordReply::kSkip;
      }
      run.WakeAll();
      continue;
    }
    if (job.state != JobState::kDone) {
      run.WaitOn(run.caller);
      continue;
    }
    // Decoded with a password that was replaced meanwhile: one after the other, this entry
    // would have been tried with the new one.
    const bool stalePassword = job.usedPassword && job.usedGeneration != run.passwordGeneration;
    bool repeat = !draining && stalePassword;
    if (!repeat && !draining && job.status.kind() == Status::Kind::kArchiver) {
      FailureAnswer answer;
      {
        Unlocked unlocked(run.mutex);
        answer = prompts_.AskOnFailure(FailurePromptText(job.status.text()));
      }
      if (answer == FailureAnswer::kRetry) repeat = true;
      if (answer == FailureAnswer::kAbort) {
        draining = true;
        run.stopping = true;
        run.WakeAll();
      }
    }
    if (repeat) {
      // Done here: every worker may be waiting for an answer about a later entry.
      job.state = JobState::kRunning;
      run.MarkUndecided(job);
      job.usedPassword = false;
      job.skipped = false;
      job.wroteFile = false;
      job.status = Status::Ok();
      if (!run.reader) {
        run.reader = std::make_unique<zip::EntryReader>();
        run.view = std::make_unique<ArchiveView>(*archive_, run.archiveMutex);
      }
      {
        Unlocked unlocked(run.mutex);
        ExtractEntry(run, i, *run.reader, *run.view, nullptr);
      }
      continue;
    }
    if (job.wroteFile && FileExtracted) {
      const std::wstring path = job.fullPath;
      Unlocked unlocked(run.mutex);
      FileExtracted(path);
    }
    run.ClearPending(job);
    if (job.undecided) run.undecided.erase(i);
    job.undecided = false;
    if (run.bigJob == i) run.bigJob = SIZE_MAX;
    run.reported = ++i;
    run.WakeAll();
  }
  return run.fatalSeen ? run.fatal : Status::Ok();
}

void Archiver::WorkerMain(void* argument) {
  auto& worker = *static_cast<Worker*>(argument);
  worker.archiver->Work(*worker.run, worker);
}

void Archiver::CloserMain(void* argument) {
  auto& closer = *static_cast<Closer*>(argument);
  closer.archiver->CloseOutputs(*closer.run, closer.sleeper);
}

// The slot of a job in the window, filled for it when it still holds an earlier one.
Archiver::Job& Archiver::PrepareJob(Run& run, std::size_t index) {
  Job& job = run.JobAt(index);
  if (job.index == index) return job;
  job = Job();
  job.index = index;
  job.entry = run.selected[index];
  job.name = DecodeName(*job.entry);
  std::wstring working, directoryPart;
  OutputPathOf(job.name, CreateDirs, working, directoryPart);
  job.key = PathKey(working);
  return job;
}

// Which job a free decoding thread starts, with the run's mutex held: the next in archive
// order, once no unfinished job before it may touch the same path. With several threads, a
// much larger entry further on in the window may go first (one at a time, so that a thread is
// always left for the entries before it), when no entry before it meets its path.
bool Archiver::PickJob(Run& run, std::size_t& index) {
  const std::size_t limit = std::min(run.selected.size(), run.reported + run.slots.size());
  if (run.nextJob >= limit || !run.MayStart(run.nextJob)) return false;
  const Job& next = PrepareJob(run, run.nextJob);
  if (run.workers.size() > 1 && run.bigJob == SIZE_MAX) {
    std::size_t big = SIZE_MAX;
    std::uint64_t bigSize = std::max(kBigEntry, next.entry->compressedSize * kBigEntryFactor);
    for (std::size_t j = run.nextJob + 1; j < limit; ++j) {
      const bool started = run.JobAt(j).index == j && run.JobAt(j).started;
      if (!started && run.selected[j]->compressedSize >= bigSize) {
        big = j;
        bigSize = run.selected[j]->compressedSize;
      }
    }
    if (big != SIZE_MAX && run.MayStart(big)) {
      const Job& candidate = PrepareJob(run, big);
      bool meets = run.Conflicts(candidate);
      for (std::size_t j = run.nextJob; j < big && !meets; ++j) meets = KeysMeet(PrepareJob(run, j).key, candidate.key);
      if (!meets) {
        index = big;
        return true;
      }
    }
  }
  if (run.Conflicts(next)) return false;
  index = run.nextJob;
  return true;
}

// A decoding thread: takes the job PickJob gives until the calling thread is done.
void Archiver::Work(Run& run, Worker& worker) {
  MutexLock lock(run.mutex);
  for (;;) {
    std::size_t index;
    if (PickJob(run, index)) {
      Job& job = run.JobAt(index);
      run.MarkPending(job);
      job.started = true;
      job.state = JobState::kRunning;
      if (index != run.nextJob) run.bigJob = index;
      while (run.nextJob < run.selected.size() && run.JobAt(run.nextJob).index == run.nextJob &&
             run.JobAt(run.nextJob).started) {
        ++run.nextJob;
      }
      run.WakeAll();
    } else if (run.finished) {
      return;
    } else {
      run.WaitOn(worker.sleeper);
      continue;
    }
    Unlocked unlocked(run.mutex);
    ExtractEntry(run, index, *worker.reader, *worker.view, &worker.sleeper);
  }
}

// One entry, from its directory to the hand-over of its output file to a closing thread.
// sleeper is the decoding thread's, null on the calling thread, which asks for a password
// itself. Never throws: a failure to allocate ends the extraction as a fatal error.
void Archiver::ExtractEntry(Run& run, std::size_t index, zip::EntryReader& reader, InputFile& archive,
                            Sleeper* sleeper) {
  Job& job = run.JobAt(index);
  const auto finish = [&](const Status& status) {
    MutexLock lock(run.mutex);
    job.status = status.WithObjectName(Name);
    job.state = JobState::kDone;
    if (!job.status.ok()) run.MarkUndecided(job);
    if (job.status.kind() == Status::Kind::kFatal) run.RecordFatal(job.status);
    run.WakeAll();
  };
  try {
    const zip::Entry& entry = *job.entry;
    const std::wstring& name = job.name;
    const std::wstring& outputBase = run.outputBase;
    std::wstring working, directoryPart;
    if (!OutputPathOf(name, CreateDirs, working, directoryPart)) {
      return finish(Status::Archiver(kErrorUnsafeName, name));
    }
    if (!ForceDirectories(outputBase + directoryPart)) {
      return finish(Status::Archiver(kErrorCannotCreateDirectory, outputBase + directoryPart));
    }
    // A name ending in a separator names a directory, whatever its attributes say.
    const bool isDirectory = (entry.externalAttributes & zip::kAttributeDirectory) != 0 ||
                             (!working.empty() && working.back() == L'\\');
    if (isDirectory || working.empty()) return finish(Status::Ok());

    const std::wstring fullPath = outputBase + working;
    const std::uint32_t existing = fs_.GetAttributes(fullPath);
    if (existing != FileSystem::kNoAttributes && !(existing & zip::kAttributeDirectory)) {
      if (OverwriteMode == omNever) return finish(Status::Ok());
      if ((existing & kAttributeReadOnly) && !ReplaceReadOnly) {
        return finish(Status::Archiver(kErrorCannotCreateFile, fullPath));
      }
      fs_.SetAttributes(fullPath, 0);
      fs_.RemoveFile(fullPath);
    }

    std::unique_ptr<OutputFile> out = fs_.CreateForWriting(fullPath);
    if (!out) return finish(Status::Archiver(kErrorCannotCreateFile, fullPath));
    job.fullPath = fullPath;

    bool skipped = false;
    Status status = reader.Begin(archive, directory_, entry, name);
    if (status.ok() && reader.IsEncrypted()) {
      std::string password;
      unsigned generation;
      {
        MutexLock lock(run.mutex);
        password = Password;
        generation = run.passwordGeneration;
      }
      for (;;) {
        const bool fits = reader.TryPassword(password);
        crypto::SecureWipe(password.data(), password.size());
        if (fits) {
          MutexLock lock(run.mutex);
          job.usedPassword = true;
          job.usedGeneration = generation;
          break;
        }
        if (sleeper == nullptr) {
          std::string typed;
          if (!prompts_.AskPassword(name, typed)) {
            skipped = true;  // Cancel: no error, the next entry follows
            break;
          }
          MutexLock lock(run.mutex);
          ReplacePassword(run, std::move(typed));
          password = Password;
          generation = run.passwordGeneration;
          continue;
        }
        // The calling thread answers when this entry's turn comes: after a new password was
        // typed for an earlier entry, with "check again" and no prompt.
        MutexLock lock(run.mutex);
        job.triedGeneration = generation;
        job.reply = PasswordReply::kNone;
        job.state = JobState::kNeedsPassword;
        run.MarkUndecided(job);
        run.WakeAll();
        while (job.reply == PasswordReply::kNone) run.WaitOn(*sleeper);
        job.state = JobState::kRunning;
        if (job.reply == PasswordReply::kSkip) {
          skipped = true;
          break;
        }
        password = Password;
        generation = run.passwordGeneration;
      }
    }
    if (status.ok() && !skipped) status = reader.Decode(*out, fullPath);
    if (status.ok() && !skipped) {
      out->SetLastWriteTime(entry.dosDate, entry.dosTime);
      if (run.needsFlush) out->Flush();
    }

    MutexLock lock(run.mutex);
    if (status.kind() == Status::Kind::kFatal) run.stopping = true;  // start nothing more
    while (run.closeQueue.size() >= kMaxPendingCloses) run.WaitOn(sleeper != nullptr ? *sleeper : run.caller);
    job.status = status.WithObjectName(Name);
    job.skipped = skipped;
    job.out = std::move(out);
    job.state = JobState::kClosing;
    if (!job.status.ok()) run.MarkUndecided(job);
    run.closeQueue.push_back(index);
    run.WakeAll();
  } catch (...) {  // out of memory: the extraction ends, as it would one entry after the other
    if (!job.fullPath.empty()) fs_.RemoveFile(job.fullPath);
    finish(Status::Fatal(L"Out of memory"));
  }
}

// A closing thread: closes each finished output file, then gives it its attributes or, for
// an entry that failed or was skipped, removes it. A file whose close fails fails its entry.
void Archiver::CloseOutputs(Run& run, Sleeper& sleeper) {
  MutexLock lock(run.mutex);
  for (;;) {
    if (run.closeQueue.empty()) {
      if (run.closersEnd) return;
      run.WaitOn(sleeper);
      continue;
    }
    const std::size_t index = run.closeQueue.front();
    run.closeQueue.pop_front();
    run.WakeAll();  // room in the queue
    Job& job = run.JobAt(index);
    // Nobody else touches a job while it is being closed: no copies needed.
    std::unique_ptr<OutputFile> out = std::move(job.out);
    Status status = std::move(job.status);
    const bool skipped = job.skipped;
    const std::wstring& fullPath = job.fullPath;
    bool wrote = false;
    {
      Unlocked unlocked(run.mutex);
      // Data the system wrote late can still fail here (a full network drive).
      const bool closed = out->Close();
      out.reset();
      try {
        if (status.ok() && !skipped && !closed) {
          status = Status::Archiver(kErrorWriteFile, fullPath).WithObjectName(Name);
        }
      } catch (...) {
        status = Status::Fatal(L"Out of memory");
      }
      if (skipped || !status.ok()) {
        fs_.RemoveFile(fullPath);
      } else {
        if (SetAttributes) fs_.SetAttributes(fullPath, job.entry->externalAttributes & kSettableAttributes);
        wrote = true;
      }
    }
    job.status = std::move(status);
    job.wroteFile = wrote;
    job.state = JobState::kDone;
    if (!job.status.ok()) run.MarkUndecided(job);
    if (job.status.kind() == Status::Kind::kFatal) run.RecordFatal(job.status);
    run.WakeAll();
  }
}

// Creates directory and every missing parent; true when it exists afterwards.
bool Archiver::ForceDirectories(const std::wstring& directory) {
  std::wstring path = directory;
  while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  std::vector<std::wstring> missing;
  while (!path.empty() && !IsDriveOnly(path)) {
    const std::uint32_t attributes = fs_.GetAttributes(path);
    if (attributes != FileSystem::kNoAttributes) {
      if (!(attributes & zip::kAttributeDirectory)) return false;  // a file is in the way
      break;
    }
    missing.push_back(path);
    const auto cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) break;
    path.erase(cut);
    while (!path.empty() && IsSeparator(path.back())) path.pop_back();
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!fs_.MakeDirectory(*it)) {
      const std::uint32_t attributes = fs_.GetAttributes(*it);  // made meanwhile by someone else?
      if (attributes == FileSystem::kNoAttributes || !(attributes & zip::kAttributeDirectory)) return false;
    }
  }
  return true;
}

// With the run's mutex held. Only a different text counts as a change of the password.
void Archiver::ReplacePassword(Run& run, std::string typed) {
  if (typed != Password) ++run.passwordGeneration;
  crypto::SecureWipe(Password.data(), Password.size());
  Password.assign(typed);  // a copy, so that the typed text can be wiped where it lies
  crypto::SecureWipe(typed.data(), typed.size());
}

}  // namespace orv
