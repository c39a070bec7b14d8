// The schedule of one extraction: which entry runs where and when, the waits that keep its
// outcome that of one entry after the other, and the decisions of the calling thread.
#include "extraction_schedule.h"

#include <algorithm>

#include "archive_error.h"
#include "zip/name_text.h"
#include "zip/zip_format.h"

namespace orv {

namespace {

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
// What SetFileAttributes accepts of an entry's attributes: read-only, hidden, system, archive,
// normal, temporary, offline, not content-indexed. Archives made on Unix carry the mode in the
// upper half and flag bits (0x8000) that Windows would reject.
constexpr std::uint32_t kSettableAttributes = 0x31A7;

template <typename Visit>
void ForEachParent(std::wstring_view key, Visit visit) {
  for (std::size_t cut = key.find(L'\\'); cut != std::wstring_view::npos; cut = key.find(L'\\', cut + 1)) {
    visit(key.substr(0, cut));
  }
}

// A failure that the entry's bytes in the archive (and the password it was tried with) decide.
bool FailsWhateverTheTime(const Status& status, bool outOfMemory) {
  if (outOfMemory || status.kind() != Status::Kind::kArchiver) return false;
  switch (status.code()) {
    case kErrorCorruptData:
    case kErrorDeflate64:
    case kErrorUnsafeName:
    case kErrorUnsupportedEncryption: return true;
    default: return false;
  }
}

}  // namespace

bool KeysMeet(std::wstring_view a, std::wstring_view b) {
  const std::wstring_view shorter = a.size() <= b.size() ? a : b;
  const std::wstring_view longer = a.size() <= b.size() ? b : a;
  if (longer.compare(0, shorter.size(), shorter) != 0) return false;
  return longer.size() == shorter.size() || longer[shorter.size()] == L'\\';
}

// Every character but ASCII folds to one value, so that two names Windows might see as one
// always count as one (the price is some needless waiting).
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
    key += c >= 0x80 ? L'\x80' : zip::FoldCase(c);
  }
  while (key.size() > componentStart && (key.back() == L'.' || key.back() == L' ')) key.pop_back();
  while (!key.empty() && key.back() == L'\\') key.pop_back();
  return key;
}

bool MayBeShortName(std::wstring_view working) {
  for (std::size_t i = 0; i + 1 < working.size(); ++i) {
    if (working[i] == L'~' && working[i + 1] >= L'0' && working[i + 1] <= L'9') return true;
  }
  return false;
}

bool ArchiveView::Size(std::uint64_t& size) {
  MutexLock lock(mutex_);
  return archive_.Size(size);
}

bool ArchiveView::Seek(std::uint64_t offset) {
  position_ = offset;
  return true;
}

bool ArchiveView::Read(void* buffer, std::size_t size, std::size_t& got) {
  MutexLock lock(mutex_);
  got = 0;
  if (!archive_.Seek(position_) || !archive_.Read(buffer, size, got)) return false;
  position_ += got;
  return true;
}

void Archiver::Run::WakeAll() {
  ++changes;
  const auto wake = [](Sleeper& sleeper) {
    if (!sleeper.waiting) return;
    sleeper.waiting = false;
    sleeper.wake.Set();
  };
  wake(caller);
  for (auto& worker : workers) wake(worker->sleeper);
  for (auto& closer : closers) wake(closer->sleeper);
}

void Archiver::Run::WaitOn(Sleeper& sleeper) {
  sleeper.waiting = true;
  mutex.Unlock();
  sleeper.wake.Wait();
  mutex.Lock();
  sleeper.waiting = false;
}

bool Archiver::Run::MayStart(std::size_t index) const {
  if (stopping) return false;
  for (const Job& job : slots) {
    if (job.undecided && job.index < index) return false;
  }
  return true;
}

bool Archiver::Run::Conflicts(const Job& job) const {
  if (pendingAnyPaths != 0 || (job.anyPath && !pendingPaths.empty())) return true;
  if (pendingPaths.count(std::wstring_view(job.key)) != 0 || pendingDirs.count(std::wstring_view(job.key)) != 0) {
    return true;
  }
  bool found = false;
  ForEachParent(job.key, [&](std::wstring_view parent) { found = found || pendingPaths.count(parent) != 0; });
  return found;
}

void Archiver::Run::MarkPending(const Job& job) {
  pendingPaths.insert(job.key);
  ForEachParent(job.key, [&](std::wstring_view parent) { pendingDirs.emplace(parent); });
  if (job.anyPath) ++pendingAnyPaths;
}

void Archiver::Run::ClearPending(const Job& job) {
  const auto path = pendingPaths.find(std::wstring_view(job.key));
  if (path != pendingPaths.end()) pendingPaths.erase(path);
  ForEachParent(job.key, [&](std::wstring_view parent) {
    const auto dir = pendingDirs.find(parent);
    if (dir != pendingDirs.end()) pendingDirs.erase(dir);
  });
  if (job.anyPath) --pendingAnyPaths;
}

bool Archiver::Run::EarlierJobSharesDirectory(const Job& job) const {
  const std::wstring_view top = std::wstring_view(job.key).substr(0, job.key.find(L'\\'));
  for (const Job& other : slots) {
    if (other.index == SIZE_MAX || other.index < reported || other.index >= job.index) continue;
    if (other.anyPath || KeysMeet(std::wstring_view(other.key).substr(0, other.key.find(L'\\')), top)) return true;
  }
  // Every job before it has its slot: jobs start in order, and one started out of order
  // (PickJob) has its directory already and makes none.
  return false;
}

void Archiver::Run::KeepDirectoriesOf(Job& job) {
  job.madeDirectories.clear();  // decided: its thread is done with the list
}

void Archiver::Run::FailOutsideAnEntry() {
  outOfMemory = true;
  stopping = true;
  WakeAll();
}

Status Archiver::Schedule(Run& run) {
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

  // From the first thread started on, every way out of here (an exception of the calling
  // thread too) ends them all first: every wait of theirs ends once finished is set. Then the
  // files of the jobs ahead that were not reported are removed.
  struct Shutdown {
    Archiver& archiver;
    Run& run;
    ~Shutdown() {
      run.mutex.Lock();
      run.finished = true;
      run.stopping = true;
      run.WakeAll();
      run.mutex.Unlock();
      for (auto& worker : run.workers) worker->thread.Join();
      run.mutex.Lock();
      run.closersEnd = true;
      run.WakeAll();
      run.mutex.Unlock();
      for (auto& closer : run.closers) closer->thread.Join();
      archiver.RemoveFilesAhead(run);
    }
  } shutdown{*this, run};

  std::size_t closersStarted = 0, workersStarted = 0;
  for (auto& closer : run.closers) closersStarted += closer->thread.Start(&Archiver::CloserMain, closer.get());
  if (closersStarted > 0) {
    for (auto& worker : run.workers) workersStarted += worker->thread.Start(&Archiver::WorkerMain, worker.get());
  }
  if (workersStarted == 0) return Status::Fatal(L"Cannot start a thread");
  return Coordinate(run);
}

// After every thread has ended: what jobs not decided left behind goes. They only added files
// where none was (ahead), or failed fatally at their turn; removing them leaves what one
// entry after the other leaves.
void Archiver::RemoveFilesAhead(Run& run) noexcept {
  for (Job& job : run.slots) {
    if (job.index == SIZE_MAX || job.committed || !job.fileOnDisk) continue;
    try {
      fs_.SetAttributes(job.fullPath, 0);
      fs_.RemoveFile(job.fullPath);
    } catch (...) {  // nothing more can be done for it
    }
    job.fileOnDisk = false;
  }
  // Then the directories they made, the deepest first; one that is not empty stays.
  try {
    std::vector<std::wstring> directories;
    for (Job& job : run.slots) {
      if (job.index == SIZE_MAX || job.committed) continue;
      directories.insert(directories.end(), job.madeDirectories.begin(), job.madeDirectories.end());
    }
    std::sort(directories.begin(), directories.end(),
              [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    for (const std::wstring& directory : directories) fs_.RemoveEmptyDirectory(directory);
  } catch (...) {  // out of memory: they stay
  }
}

// The calling thread: takes the jobs in archive order, answers for each what only it may
// (prompts, the report of a file extracted) and decides what follows.
Status Archiver::Coordinate(Run& run) {
  MutexLock lock(run.mutex);
  std::size_t i = 0;
  while (i < run.selected.size()) {
    if (run.outOfMemory) break;  // a thread failed outside any entry
    Job& job = run.JobAt(i);
    if (job.index != i || !job.started) {
      run.WaitOn(run.caller);
      continue;
    }
    if (job.state == JobState::kNeedsPassword && job.reply == PasswordReply::kNone) {
      if (job.triedGeneration != run.passwordGeneration) {
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
    if (job.abandoned) break;  // only when the run stops
    const bool failed = job.outOfMemory || !job.status.ok();
    // Decoded with a password that was replaced meanwhile, or failed before its turn in a way
    // that depends on the system (a full disk, a held file, memory): one after the other, this
    // entry would have been tried now, with what is now. What the archive's bytes alone
    // decide fails the same way at any time.
    const bool stalePassword = job.usedPassword && job.usedGeneration != run.passwordGeneration;
    bool repeat = stalePassword || (failed && job.ahead && !FailsWhateverTheTime(job.status, job.outOfMemory));
    if (!repeat && failed) {
      if (job.outOfMemory || job.status.kind() != Status::Kind::kArchiver) {
        run.stopping = true;
        run.KeepDirectoriesOf(job);
        return job.outOfMemory ? Status::Fatal(L"Out of memory") : job.status;
      }
      FailureAnswer answer;
      {
        Unlocked unlocked(run.mutex);
        answer = prompts_.AskOnFailure(FailurePromptText(job.status.text()));
      }
      if (answer == FailureAnswer::kRetry) repeat = true;
      if (answer == FailureAnswer::kAbort) {
        run.stopping = true;
        run.KeepDirectoriesOf(job);
        return Status::Ok();
      }
    }
    if (repeat) {
      // Done here: every worker may be waiting for an answer about a later entry.
      job.state = JobState::kRunning;
      job.ahead = false;
      job.undecided = true;
      job.usedPassword = false;
      job.skipped = false;
      job.wroteFile = false;
      job.outOfMemory = false;
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
    run.KeepDirectoriesOf(job);
    job.committed = true;  // kept whatever follows
    if (job.wroteFile && FileExtracted) {
      const std::wstring path = job.fullPath;
      Unlocked unlocked(run.mutex);
      FileExtracted(path);
    }
    run.ClearPending(job);
    job.undecided = false;
    if (run.bigJob == i) run.bigJob = SIZE_MAX;
    run.reported = ++i;
    run.WakeAll();
  }
  run.stopping = true;
  return run.outOfMemory ? Status::Fatal(L"Out of memory") : Status::Ok();
}

// A thread body never lets an exception out (that would end the process): what fails outside
// an entry ends the run as a fatal error, and the thread goes on serving until the end.
void Archiver::WorkerMain(void* argument) {
  auto& worker = *static_cast<Worker*>(argument);
  for (;;) {
    try {
      worker.archiver->Work(*worker.run, worker);
      return;
    } catch (...) {
      MutexLock lock(worker.run->mutex);
      worker.run->FailOutsideAnEntry();
    }
  }
}

void Archiver::CloserMain(void* argument) {
  auto& closer = *static_cast<Closer*>(argument);
  for (;;) {
    try {
      closer.archiver->CloseOutputs(*closer.run, closer.sleeper);
      return;
    } catch (...) {
      MutexLock lock(closer.run->mutex);
      closer.run->FailOutsideAnEntry();
    }
  }
}

// The slot of a job in the window, filled for it when it still holds an earlier one.
Archiver::Job& Archiver::PrepareJob(Run& run, std::size_t index) {
  Job& job = run.JobAt(index);
  if (job.index == index) return job;
  job = Job();
  job.entry = run.selected[index];
  job.name = DecodeName(*job.entry);
  std::wstring working;
  OutputPathOf(job.name, CreateDirs, working, job.directoryPart);
  job.key = PathKey(working);
  job.anyPath = MayBeShortName(working);
  job.index = index;  // last: a slot half filled by a failed allocation is filled again
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
      Job& candidate = PrepareJob(run, big);
      // Started out of order, it makes no directory: one still missing would keep it waiting
      // on a thread the entries before it need.
      if (!candidate.directoryThere) candidate.directoryThere = DirectoryExists(run.outputBase + candidate.directoryPart);
      bool meets = !candidate.directoryThere || run.Conflicts(candidate);
      for (std::size_t j = run.nextJob; j < big && !meets; ++j) meets = run.JobsMeet(PrepareJob(run, j), candidate);
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
    std::size_t index = 0;
    bool picked = false;
    if (!run.stopping) {
      try {
        picked = PickJob(run, index);
        if (picked) run.MarkPending(run.JobAt(index));
      } catch (...) {  // out of memory: the job never starts, nothing more does
        picked = false;
        run.FailOutsideAnEntry();
      }
    }
    if (picked) {
      Job& job = run.JobAt(index);
      job.started = true;
      job.state = JobState::kRunning;
      job.ahead = index != run.reported;
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

// A job ahead that would change what is there waits until every entry before it is decided.
// False when the run stops first: the job ends without having touched anything.
bool Archiver::WaitForTurn(Run& run, Job& job, Sleeper& sleeper) {
  MutexLock lock(run.mutex);
  while (run.reported != job.index && !run.stopping && !run.finished) run.WaitOn(sleeper);
  if (run.reported != job.index) return false;
  job.ahead = false;
  return true;
}

// Before its turn a job only adds. Its directory there and no file at its path: it goes on
// ahead. A file there: it waits for its turn. Its directory missing: it makes the missing
// ones below the destination when no earlier job still to be decided shares its top
// directory (which one after the other would make them, spelled its way), else it waits
// until they exist or its turn comes. The destination missing: it waits until it exists or
// its turn comes. False when the run stops first.
bool Archiver::PrepareAhead(Run& run, Job& job, Sleeper& sleeper, bool writesFile, const std::wstring& fullPath) {
  const std::wstring directory = run.outputBase + job.directoryPart;
  for (;;) {
    // What is looked at on disk below is looked at again after any change since this point:
    // a change made between the look and the wait (its turn, a directory made) is not lost.
    std::uint64_t seen;
    {
      MutexLock lock(run.mutex);
      if (run.stopping || run.finished) return false;
      if (run.reported == job.index) {
        job.ahead = false;
        return true;
      }
      seen = run.changes;
    }
    // The destination itself is made by the first entry in order (as one after the other),
    // within moments of the start: until then a job ahead waits.
    const bool baseThere = DirectoryExists(run.outputBase);
    if (baseThere && DirectoryExists(directory)) {
      if (!writesFile || fs_.GetAttributes(fullPath) == FileSystem::kNoAttributes) return true;
      return WaitForTurn(run, job, sleeper);
    }
    {
      MutexLock lock(run.mutex);
      if (!baseThere || run.EarlierJobSharesDirectory(job)) {
        // Woken by any change: a directory made, an entry reported.
        if (run.changes == seen) run.WaitOn(sleeper);
        continue;
      }
    }
    if (!MakeDirectories(run, job, directory)) return true;  // fails ahead as at its turn, redone then
  }
}

// A closing thread: closes each finished output file, then gives it its attributes or, for
// an entry that failed or was skipped, removes it. A file whose close fails fails its entry.
void Archiver::CloseOutputs(Run& run, Sleeper& sleeper) {
  MutexLock lock(run.mutex);
  for (;;) {
    if (run.closeCount == 0) {
      if (run.closersEnd) return;
      run.WaitOn(sleeper);
      continue;
    }
    const std::size_t index = run.closeQueue[run.closeHead];
    run.closeHead = (run.closeHead + 1) % kMaxPendingCloses;
    --run.closeCount;
    run.WakeAll();  // room in the queue
    Job& job = run.JobAt(index);
    // Nobody else touches a job while it is being closed: no copies needed.
    std::unique_ptr<OutputFile> out = std::move(job.out);
    Status status = std::move(job.status);
    const bool skipped = job.skipped;
    const std::wstring& fullPath = job.fullPath;
    bool wrote = false, removed = false, outOfMemory = false;
    {
      Unlocked unlocked(run.mutex);
      try {
        // Data the system wrote late can still fail here (a full network drive).
        const bool closed = out->Close();
        out.reset();
        if (status.ok() && !skipped && !closed) {
          status = Status::Archiver(kErrorWriteFile, fullPath).WithObjectName(Name);
        }
        if (skipped || !status.ok()) {
          removed = fs_.RemoveFile(fullPath);
        } else {
          if (SetAttributes) fs_.SetAttributes(fullPath, job.entry->externalAttributes & kSettableAttributes);
          wrote = true;
        }
      } catch (...) {  // out of memory (a path's conversion): the entry fails fatally
        outOfMemory = true;
        wrote = false;
      }
      out.reset();
    }
    job.status = std::move(status);
    job.outOfMemory = outOfMemory;
    job.wroteFile = wrote;
    if (removed) job.fileOnDisk = false;
    job.state = JobState::kDone;
    if (outOfMemory || !job.status.ok()) job.undecided = true;
    run.WakeAll();
  }
}

}  // namespace orv
