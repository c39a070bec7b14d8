// Threads that help the archiver's one writing thread without touching the disk before an
// entry's turn.
//
// The archiver's calling thread, the writer, makes every change of an extraction on disk
// itself, one entry after the other in archive order: the directories, the removal of a file
// in the way, the new file, its data and its time. So nothing a later entry does can happen
// before an earlier one is done: the prompts, the files and the result are those of one thread
// by construction, for a full disk too, and nothing ever needs undoing. This unit lends the
// writer two kinds of threads:
//  - Decoding threads read, decrypt, authenticate and inflate the entries after the writer's
//    into chunks of memory, within a budget (kBudgetChunks), in archive order but for one entry
//    much larger than the next, which goes first so that it does not end the run alone on one
//    processor. At an entry's turn the writer writes the chunks decoded for it while its
//    decoding thread may still add more (the entry at the turn may always have a few chunks
//    beyond the budget), so an entry larger than the budget streams through. Whatever a decoding thread did not finish well (a password that
//    does not fit, a damaged entry, a read error, no memory) is never shown: the writer
//    decodes that entry itself at its turn, as one thread would, prompts included, skipping
//    what it has already written. An entry decoded ahead with a password that the user has
//    replaced since is decoded again with the new one. When the writer's turn comes for an
//    entry nobody has, an idle decoding thread takes it, or else the writer decodes it itself
//    (a thread that is waiting for work always takes it, so the writer never waits for one
//    that is busy). So the extraction ends whatever number of threads actually starts, none
//    included.
//  - Closing threads, started as they are needed, close the files the writer has finished and
//    then give them their attributes (attributes must follow the close: Windows' FAT driver
//    marks a file just written as archived when its handle closes), so that a slow close (an
//    on-access scanner) does not hold up the writer. Their outcome cannot fail an entry: the
//    writer has moved on by then (and on Windows closing a file reports none of the write
//    errors the system meets when it later flushes its cache). The writer waits for them
//    before it touches a path where something exists, so no entry meets a file still being
//    closed, whatever the spelling of its name (the file system resolves case and 8.3 short
//    names: no name needs a rule of its own).
//
// Each entry has a job in a ring of kWindow slots. A job's life is one state, changed by one
// function (Apply); one mutex and one condition variable serve every wait, and every wait
// ends when the schedule stops. Entries are numbered in the order the writer adds them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "os/file_system.h"
#include "os/threads.h"
#include "zip/central_directory.h"
#include "zip/entry_reader.h"

namespace orv {

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

class ExtractionSchedule {
 public:
  static constexpr std::size_t kWindow = 64;  // entries added and not yet done, at most
  static constexpr std::size_t kChunkSize = zip::EntryReader::kBlockSize;
  static constexpr std::size_t kBudgetChunks = 128;  // 32 MiB of decoded data ahead
  static constexpr std::size_t kTurnReserve = 2;    // chunks the entry at the turn may add beyond it
  static constexpr unsigned kMaxDecoders = 4;
  static constexpr unsigned kMaxClosers = 8;

  struct Chunk;
  // A chunk the writer holds; it goes back to the schedule when the lease ends.
  class ChunkLease {
   public:
    ChunkLease() = default;
    ~ChunkLease() { Reset(); }
    ChunkLease(const ChunkLease&) = delete;
    ChunkLease& operator=(const ChunkLease&) = delete;
    const std::uint8_t* data() const;
    std::size_t size() const;
    void Reset();

   private:
    friend class ExtractionSchedule;
    ExtractionSchedule* owner_ = nullptr;
    Chunk* chunk_ = nullptr;
  };

  enum class Delivery {
    kChunk,           // the next chunk of the entry's data
    kComplete,        // every chunk was delivered, and the entry passed every check
    kDecodeYourself,  // the writer decodes the entry itself, skipping what it has written
  };

  // password is the one decoding threads try until the writer replaces it.
  ExtractionSchedule(InputFile& archive, const zip::CentralDirectory& directory, FileSystem& fileSystem,
                     const std::string& password);
  // Stops the decoding threads, lets the closing threads close every file handed over, and
  // ends them all. Every path out of an extraction goes through here.
  ~ExtractionSchedule();
  ExtractionSchedule(const ExtractionSchedule&) = delete;
  ExtractionSchedule& operator=(const ExtractionSchedule&) = delete;

  // Starts up to count decoding threads (at most kMaxDecoders); those the system refuses are
  // done without.
  void StartDecoding(unsigned count);

  // The writer's calls, from the calling thread only.
  // The next entry in order; decodes says whether it has data to decode (a file to write).
  // Waits while its slot still holds an entry whose decoding thread has not stopped.
  void Add(const zip::Entry& entry, std::wstring name, bool decodes);
  const std::wstring& Name(std::size_t index) const;
  const zip::Entry& Entry(std::size_t index) const;
  // The archive for the writer's own decoding.
  InputFile& WriterArchive() { return writerView_; }
  // The entry's turn has come: a decoding thread that has it may now go past the budget; if
  // none has it, an idle one takes it, or else none will (the writer decodes it).
  void BeginTurn(std::size_t index);
  // What the writer writes next for the entry at its turn; waits for the decoding thread.
  Delivery Next(std::size_t index, ChunkLease& chunk);
  // The writer is done with the entry (or decodes it again itself): what was decoded for it
  // goes, and a decoding thread still on it stops.
  void EndTurn(std::size_t index);
  // The user typed a password that differs from the one before: entries after the turn that
  // were decoded with the old one are decoded again.
  void ReplacePassword(const std::string& password);

  // A file whose entry is done: closed (by a closing thread when one runs, else here), then,
  // when setAttributes, given the attributes. Its close cannot fail the entry.
  void HandOver(std::unique_ptr<OutputFile> file, const std::wstring& path, bool setAttributes,
                std::uint32_t attributes);
  bool ClosesPending();
  void WaitForCloses();

 private:
  enum class JobState;
  enum class JobEvent;
  enum class Waiter;
  struct Job;
  struct Close;
  class ChunkSink;

  Job& Slot(std::size_t index);
  const Job& Slot(std::size_t index) const;
  void Apply(Job& job, JobEvent event);  // the one place a job changes state
  Job* JobToTake();
  bool Wanted(const Job& job, std::size_t index) const;
  Chunk* AcquireChunk(Job& job, std::size_t index);
  bool Commit(Job& job, std::size_t index, Chunk* chunk);
  bool InPool(const Chunk* chunk) const;
  Chunk* TakeChunk();
  void PutChunk(Chunk* chunk);
  void FreeChunks(Job& job);
  void Release(Chunk* chunk);
  void Wait(Waiter who);
  void Wake(std::initializer_list<Waiter> whom);
  void CloseFile(Close& close);
  bool StartCloser();
  static void DecodingMain(void* schedule);
  static void ClosingMain(void* schedule);
  void Decode();
  void CloseFiles();

  const zip::CentralDirectory& directory_;
  FileSystem& fs_;
  Mutex archiveMutex_;
  ArchiveView writerView_;
  InputFile& archive_;

  Mutex mutex_;  // guards everything below
  ConditionVariable changed_;
  unsigned waiting_[6] = {};  // threads in Wait, by what they wait for
  bool stopping_ = false;
  std::unique_ptr<Job[]> jobs_;   // job i in slot i % kWindow
  std::size_t added_ = 0;         // entries added
  std::size_t turn_ = 0;          // the entry at the writer's turn, or the next one
  std::size_t bigJob_ = SIZE_MAX; // the entry last taken ahead of the order for its size
  std::string password_;
  unsigned generation_ = 0;       // counts the replacements of the password
  void* pool_ = nullptr;          // the chunks' memory, one block
  std::size_t poolUsed_ = 0;      // chunks of the pool handed out so far
  bool poolRefused_ = false;
  Chunk* freeChunks_ = nullptr;   // given back, for reuse
  std::size_t chunksOut_ = 0;     // held by jobs, by a decoding thread or by the writer

  std::unique_ptr<Thread[]> decoders_;
  unsigned decodersStarted_ = 0;
  std::unique_ptr<Close[]> closes_;  // a ring of kMaxPendingCloses: handing over never allocates
  std::size_t closeHead_ = 0, closeCount_ = 0;
  unsigned closing_ = 0;  // files being closed now
  bool closersEnd_ = false;
  bool closerRefused_ = false;  // the system refused a closing thread: no more are asked for
  std::unique_ptr<Thread[]> closers_;
  unsigned closersStarted_ = 0;
};

}  // namespace orv
