// The schedule of one ExtractFiles call, shared by the archiver's two units: the jobs (one per
// selected entry) in a ring of slots, the decoding and closing threads, and the waits that
// keep the result that of one entry after the other.
//
// The rule the schedule holds: an entry's outcome counts only at its turn, once every earlier
// entry is decided (reported, or ended by Abort or a fatal error). A job started before its
// turn ("ahead") only adds: a file where none is, and the directories missing on its way below
// the destination when no earlier entry still to be decided would create them first (it waits
// until they exist, or its turn; so it does for the destination, which the first entry makes).
// It replaces no file; an entry that would waits for its turn. Directories are made by one
// thread at a time. When an earlier entry ends the run (Abort, a fatal error, an exception),
// the files and then the directories that the jobs ahead added are removed; a directory that a
// decided entry needs is kept, as one entry after the other would have made it. A job
// ahead that failed is redone at its turn on the calling thread, never prompted for: one
// after the other, it would have met the world as it is then. So the prompts, their order and
// number, the files left and the result are those of one thread, whatever the timing.
//
// Internal to the archiver: archiver.cpp (one entry) and extraction_schedule.cpp (the rest).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "archiver.h"
#include "os/threads.h"

namespace orv {

enum class JobState { kWaiting, kRunning, kNeedsPassword, kClosing, kDone };
enum class PasswordReply { kNone, kRecheck, kSkip };

// Closes waiting for a closing thread; each holds an open file, so their number is bounded.
constexpr std::size_t kMaxPendingCloses = 16;

// The relative output path of an entry ('\' separators; flat without CreateDirs) and its
// directory part with the trailing '\'. False for a name that leaves the destination.
bool OutputPathOf(const std::wstring& name, bool createDirs, std::wstring& working, std::wstring& directoryPart);

// What Windows would take for the same file: ASCII letters without case, trailing dots and
// blanks of a component dropped, every other character one value.
std::wstring PathKey(const std::wstring& working);
// True when a file at one key and a file at the other could not both be written in either
// order with the same result: the same path, or one a directory on the other's path.
bool KeysMeet(std::wstring_view a, std::wstring_view b);
// A component with '~' and a digit may be the 8.3 short name of any other name in its
// directory (NTFS makes them, so does Wine): such a path may meet every other one.
bool MayBeShortName(std::wstring_view working);

// The archive seen by one thread: its own position, reads serialised on the shared handle.
class ArchiveView final : public InputFile {
 public:
  ArchiveView(InputFile& archive, Mutex& mutex) : archive_(archive), mutex_(mutex) {}
  bool Size(std::uint64_t& size) override;
  bool Seek(std::uint64_t offset) override;
  bool Read(void* buffer, std::size_t size, std::size_t& got) override;

 private:
  InputFile& archive_;
  Mutex& mutex_;
  std::uint64_t position_ = 0;
};

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

struct Archiver::Job {
  std::size_t index = SIZE_MAX;  // the job this slot holds, in the order of the selected entries
  const zip::Entry* entry = nullptr;
  std::wstring name;  // decoded; prompts and error texts show it
  std::wstring key;   // PathKey of the output path
  std::wstring directoryPart;   // of the output path, with the trailing '\'
  bool directoryThere = false;  // seen to exist (directories are never removed during a run)
  bool anyPath = false;  // MayBeShortName: meets every other path
  bool started = false;
  bool ahead = false;      // running before its turn: only adds
  bool abandoned = false;  // ended without running: the run stopped while it waited its turn
  bool committed = false;  // decided and kept: never removed
  JobState state = JobState::kWaiting;
  PasswordReply reply = PasswordReply::kNone;
  unsigned triedGeneration = 0;  // password generation that failed the check
  bool usedPassword = false;     // decoded with the password of usedGeneration
  unsigned usedGeneration = 0;
  bool undecided = false;  // failed or asks for a password, until reported: nothing after it starts
  // The outcome, written by the thread that owns the job until it is kDone.
  Status status;
  bool outOfMemory = false;  // the status is the fatal "Out of memory" (made where it cannot be)
  bool skipped = false;
  bool wroteFile = false;
  bool fileOnDisk = false;  // a file this job created may be at fullPath
  std::wstring fullPath;
  std::unique_ptr<OutputFile> out;
  std::vector<std::wstring> madeDirectories;  // made while ahead and not yet needed by a decided entry
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
  // Held while directories are made and recorded; never held when taking mutex.
  Mutex directoryMutex;
  std::vector<const zip::Entry*> selected;  // the entries to extract, in archive order
  std::vector<Job> slots;                   // job j lives in slot j % size
  std::wstring outputBase;
  bool needsFlush = false;

  std::size_t reported = 0;       // jobs before this one are decided: its turn has come
  std::size_t nextJob = 0;        // every job before this one has started
  std::size_t bigJob = SIZE_MAX;  // a job started ahead of the order, until it is reported
  bool stopping = false;          // no new job starts, jobs waiting for their turn end
  bool finished = false;          // the calling thread is done: every wait of a thread ends
  bool closersEnd = false;        // every worker has ended: closers end when idle
  bool outOfMemory = false;       // a thread failed outside any entry: the run ends fatally
  unsigned passwordGeneration = 0;  // counts the changes of the password
  std::uint64_t changes = 0;        // counts the calls of WakeAll
  // Keys of jobs started and not yet reported, and their directory parts at every level.
  std::multiset<std::wstring, std::less<>> pendingPaths;
  std::multiset<std::wstring, std::less<>> pendingDirs;
  std::size_t pendingAnyPaths = 0;  // of them, jobs whose path may meet every other one
  // Jobs waiting for a closing thread, a ring: queueing never allocates.
  std::size_t closeQueue[kMaxPendingCloses] = {};
  std::size_t closeHead = 0, closeCount = 0;

  Sleeper caller;  // the calling thread
  std::unique_ptr<zip::EntryReader> reader;  // the calling thread's, for an entry it redoes
  std::unique_ptr<ArchiveView> view;
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<std::unique_ptr<Closer>> closers;

  Job& JobAt(std::size_t index) { return slots[index % slots.size()]; }

  // With mutex held, after any change another thread may wait for.
  void WakeAll();
  // Called with mutex held; returns with it held, after a change (or spuriously).
  void WaitOn(Sleeper& sleeper);
  // No job starts after one that waits for a decision: the answer (Abort?) says whether it
  // should. So with one decoding thread only the closing overlaps the next entry.
  bool MayStart(std::size_t index) const;
  bool Conflicts(const Job& job) const;
  bool JobsMeet(const Job& a, const Job& b) const { return a.anyPath || b.anyPath || KeysMeet(a.key, b.key); }
  // Whether a job still to be decided before this one has a path in the same top directory.
  bool EarlierJobSharesDirectory(const Job& job) const;
  // A decided job keeps the directories it made ahead. Those of the jobs after it are never on
  // its path: a job ahead makes none while an earlier undecided job shares its top directory.
  void KeepDirectoriesOf(Job& job);
  void MarkPending(const Job& job);  // may throw (allocation)
  void ClearPending(const Job& job);  // never throws
  void FailOutsideAnEntry();          // never throws
};

}  // namespace orv
