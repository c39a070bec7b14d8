#include "extraction_schedule.h"

#include <cstring>
#include <initializer_list>
#include <new>
#include <utility>

#include "crypto/wipe.h"
#include "os/memory.h"
#include "zip/zip_format.h"

namespace orv {

namespace {

// An entry this large (compressed), and this many times larger than the next one in order, may
// be decoded ahead of the order. Before its turn it may hold this many chunks, three quarters
// of the budget: the rest keeps the entries before it going.
constexpr std::uint64_t kBigEntry = 1024 * 1024;
constexpr std::uint64_t kBigEntryFactor = 4;
constexpr std::size_t kBigEntryChunks = ExtractionSchedule::kBudgetChunks * 3 / 4;
// Files handed over and not yet taken by a closing thread; each holds an open file.
constexpr std::size_t kMaxPendingCloses = 16;
// Chunks out at once, at most: the budget, the reserve of the entry at the turn, one chunk its
// decoding thread fills and one the writer writes. All come from one block.
constexpr std::size_t kPoolChunks = ExtractionSchedule::kBudgetChunks + ExtractionSchedule::kTurnReserve + 2;

}  // namespace

enum class ExtractionSchedule::JobState {
  kFree,       // no entry, or one nothing is decoded ahead for (the writer's, or one done)
  kQueued,     // waits for a decoding thread
  kDecoding,   // a decoding thread decodes it; its chunks go to the writer
  kDecoded,    // its decoding thread has finished; the chunks and how it ended wait
  kStale,      // its decoding thread uses a password replaced since: queued again when it stops
  kAbandoned,  // the writer wants nothing of it any more: free when its decoding thread stops
};

// Who waits for what: a change wakes the threads only when one waits for what it changes.
enum class ExtractionSchedule::Waiter {
  kWriterForData,    // the entry at the turn: a chunk, or a change of its state
  kWriterForSlot,    // a slot to become free for the next entry
  kWriterForCloses,  // room in the closing queue, or every file closed
  kDecoderForWork,   // an entry to take
  kDecoderForRoom,   // room for a chunk, or the end of its entry's decoding
  kCloser,           // a file to close
};

enum class ExtractionSchedule::JobEvent {
  kAdd,               // the writer adds the entry to the slot
  kTake,              // a decoding thread takes it
  kEnd,               // its decoding thread stops
  kDrop,              // the writer decodes it itself, or is done with it
  kPasswordReplaced,  // it was decoded with a password the user has replaced
};

struct ExtractionSchedule::Chunk {
  Chunk* next = nullptr;
  std::size_t size = 0;
  std::uint8_t data[kChunkSize];
};

struct ExtractionSchedule::Job {
  std::size_t index = SIZE_MAX;
  const zip::Entry* entry = nullptr;
  std::wstring name;
  bool decodes = false;
  JobState state = JobState::kFree;
  bool complete = false;       // decoded to its end, every check passed (when kDecoded)
  bool usedPassword = false;   // an encrypted entry, decoded with the password of generation
  unsigned generation = 0;
  Chunk* first = nullptr;      // the chunks decoded and not yet delivered, in order
  Chunk* last = nullptr;
  std::size_t chunks = 0;
};

struct ExtractionSchedule::Close {
  std::unique_ptr<OutputFile> file;
  std::wstring path;
  bool setAttributes = false;
  std::uint32_t attributes = 0;
};

// The output of a decoding thread: every block the entry's reader emits becomes a chunk. It
// lends the reader a chunk to inflate into, so that a block is never copied.
class ExtractionSchedule::ChunkSink final : public OutputFile {
 public:
  ChunkSink(ExtractionSchedule& schedule, Job& job, std::size_t index)
      : schedule_(schedule), job_(job), index_(index) {}
  ~ChunkSink() override {
    if (lent_ != nullptr) schedule_.Release(lent_);
  }
  ChunkSink(const ChunkSink&) = delete;
  ChunkSink& operator=(const ChunkSink&) = delete;

  std::uint8_t* LendBlock(std::size_t size) override {
    if (lent_ == nullptr && size <= kChunkSize) lent_ = schedule_.AcquireChunk(job_, index_);
    return lent_ != nullptr ? lent_->data : nullptr;
  }
  bool Write(const void* data, std::size_t size) override {
    if (lent_ != nullptr && data == lent_->data && size <= kChunkSize) {
      Chunk* chunk = std::exchange(lent_, nullptr);
      chunk->size = size;
      return schedule_.Commit(job_, index_, chunk);
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const std::size_t part = size < kChunkSize ? size : kChunkSize;
      Chunk* chunk = schedule_.AcquireChunk(job_, index_);
      if (chunk == nullptr) return false;
      std::memcpy(chunk->data, bytes, part);
      chunk->size = part;
      if (!schedule_.Commit(job_, index_, chunk)) return false;
      bytes += part;
      size -= part;
    }
    return true;
  }
  bool SetLastWriteTime(std::uint16_t, std::uint16_t) override { return true; }
  bool Flush() override { return true; }
  bool Close() override { return true; }

 private:
  ExtractionSchedule& schedule_;
  Job& job_;
  std::size_t index_;
  Chunk* lent_ = nullptr;  // lent to the reader, not yet written
};

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

const std::uint8_t* ExtractionSchedule::ChunkLease::data() const { return chunk_->data; }
std::size_t ExtractionSchedule::ChunkLease::size() const { return chunk_->size; }

void ExtractionSchedule::ChunkLease::Reset() {
  if (chunk_ != nullptr) owner_->Release(chunk_);
  chunk_ = nullptr;
  owner_ = nullptr;
}

ExtractionSchedule::ExtractionSchedule(InputFile& archive, const zip::CentralDirectory& directory,
                                       FileSystem& fileSystem, const std::string& password)
    : directory_(directory),
      fs_(fileSystem),
      writerView_(archive, archiveMutex_),
      archive_(archive),
      jobs_(std::make_unique<Job[]>(kWindow)),
      password_(password),
      decoders_(std::make_unique<Thread[]>(kMaxDecoders)),
      closes_(std::make_unique<Close[]>(kMaxPendingCloses)),
      closers_(std::make_unique<Thread[]>(kMaxClosers)) {}

ExtractionSchedule::~ExtractionSchedule() {
  mutex_.Lock();
  stopping_ = true;
  changed_.NotifyAll();
  mutex_.Unlock();
  for (unsigned i = 0; i < decodersStarted_; ++i) decoders_[i].Join();
  mutex_.Lock();
  closersEnd_ = true;  // they close what is queued first
  changed_.NotifyAll();
  mutex_.Unlock();
  for (unsigned i = 0; i < closersStarted_; ++i) closers_[i].Join();
  for (std::size_t i = 0; i < kWindow; ++i) FreeChunks(jobs_[i]);
  while (freeChunks_ != nullptr) {
    Chunk* chunk = freeChunks_;
    freeChunks_ = chunk->next;
    if (!InPool(chunk)) delete chunk;
  }
  FreeLargeBlock(pool_, kPoolChunks * sizeof(Chunk));
  crypto::SecureWipe(password_.data(), password_.size());
}

ExtractionSchedule::Job& ExtractionSchedule::Slot(std::size_t index) { return jobs_[index % kWindow]; }
const ExtractionSchedule::Job& ExtractionSchedule::Slot(std::size_t index) const { return jobs_[index % kWindow]; }

const std::wstring& ExtractionSchedule::Name(std::size_t index) const { return Slot(index).name; }
const zip::Entry& ExtractionSchedule::Entry(std::size_t index) const { return *Slot(index).entry; }

void ExtractionSchedule::Wait(Waiter who) {
  ++waiting_[static_cast<int>(who)];
  changed_.Wait(mutex_);
  --waiting_[static_cast<int>(who)];
}

// With the mutex held, after a change that threads of the kinds named may wait for. Most
// changes find none of them waiting, and then cost no system call.
void ExtractionSchedule::Wake(std::initializer_list<Waiter> whom) {
  for (const Waiter who : whom) {
    if (waiting_[static_cast<int>(who)] != 0) {
      changed_.NotifyAll();
      return;
    }
  }
}

void ExtractionSchedule::Apply(Job& job, JobEvent event) {
  JobState next = job.state;
  switch (event) {
    case JobEvent::kAdd:
      next = job.decodes ? JobState::kQueued : JobState::kFree;
      break;
    case JobEvent::kTake:
      next = JobState::kDecoding;
      break;
    case JobEvent::kEnd:
      next = job.state == JobState::kDecoding ? JobState::kDecoded
             : job.state == JobState::kStale  ? JobState::kQueued
                                              : JobState::kFree;
      break;
    case JobEvent::kDrop:
      next = job.state == JobState::kDecoding || job.state == JobState::kStale || job.state == JobState::kAbandoned
                 ? JobState::kAbandoned
                 : JobState::kFree;
      break;
    case JobEvent::kPasswordReplaced:
      next = job.state == JobState::kDecoding  ? JobState::kStale
             : job.state == JobState::kDecoded ? JobState::kQueued
                                               : job.state;
      break;
  }
  // Chunks live only while the writer may still want them.
  if (next != JobState::kDecoding && next != JobState::kDecoded) FreeChunks(job);
  job.state = next;
  if (next == JobState::kQueued) Wake({Waiter::kDecoderForWork});
  if (next == JobState::kAbandoned || next == JobState::kStale) Wake({Waiter::kDecoderForRoom});  // to stop
  if (next == JobState::kFree) Wake({Waiter::kWriterForSlot});
  if (job.index == turn_) Wake({Waiter::kWriterForData});
}

void ExtractionSchedule::StartDecoding(unsigned count) {
  if (count > kMaxDecoders) count = kMaxDecoders;
  for (unsigned i = 0; i < count; ++i) {
    // Each thread started counts at once: the destructor joins exactly those.
    if (decoders_[decodersStarted_].Start(&ExtractionSchedule::DecodingMain, this)) ++decodersStarted_;
  }
}

void ExtractionSchedule::Add(const zip::Entry& entry, std::wstring name, bool decodes) {
  MutexLock lock(mutex_);
  Job& job = Slot(added_);
  // The slot's last entry is behind the writer; only its decoding thread may still be on it.
  while (job.state != JobState::kFree) Wait(Waiter::kWriterForSlot);
  job.index = added_++;
  job.entry = &entry;
  job.name = std::move(name);
  job.decodes = decodes;
  job.complete = false;
  job.usedPassword = false;
  Apply(job, JobEvent::kAdd);
}

void ExtractionSchedule::BeginTurn(std::size_t index) {
  MutexLock lock(mutex_);
  turn_ = index;
  Job& job = Slot(index);
  // Nobody has it: an idle decoding thread takes it now, else the writer decodes it.
  if (job.state == JobState::kQueued && waiting_[static_cast<int>(Waiter::kDecoderForWork)] == 0) {
    Apply(job, JobEvent::kDrop);
  }
  Wake({Waiter::kDecoderForRoom, Waiter::kDecoderForWork});  // the reserve, or the entry to take
}

ExtractionSchedule::Delivery ExtractionSchedule::Next(std::size_t index, ChunkLease& lease) {
  lease.Reset();
  MutexLock lock(mutex_);
  Job& job = Slot(index);
  for (;;) {
    if (job.first != nullptr) {
      Chunk* chunk = job.first;
      job.first = chunk->next;
      if (job.first == nullptr) job.last = nullptr;
      --job.chunks;
      lease.owner_ = this;
      lease.chunk_ = chunk;
      if (job.chunks + 1 == kTurnReserve) Wake({Waiter::kDecoderForRoom});  // below the turn's reserve again
      return Delivery::kChunk;
    }
    switch (job.state) {
      case JobState::kDecoding:
      case JobState::kStale:
        Wait(Waiter::kWriterForData);
        continue;
      case JobState::kDecoded:
        if (job.complete && !(job.usedPassword && job.generation != generation_)) return Delivery::kComplete;
        break;
      case JobState::kQueued:
        // An idle decoding thread, woken at the turn's beginning, is about to take it.
        if (waiting_[static_cast<int>(Waiter::kDecoderForWork)] != 0) {
          Wait(Waiter::kWriterForData);
          continue;
        }
        break;
      case JobState::kFree:
      case JobState::kAbandoned:
        break;
    }
    Apply(job, JobEvent::kDrop);
    return Delivery::kDecodeYourself;
  }
}

void ExtractionSchedule::EndTurn(std::size_t index) {
  MutexLock lock(mutex_);
  turn_ = index + 1;
  Apply(Slot(index), JobEvent::kDrop);
}

void ExtractionSchedule::ReplacePassword(const std::string& password) {
  MutexLock lock(mutex_);
  crypto::SecureWipe(password_.data(), password_.size());
  password_ = password;
  ++generation_;
  for (std::size_t i = 0; i < kWindow; ++i) {
    Job& job = jobs_[i];
    if (job.index != SIZE_MAX && job.index > turn_ && job.usedPassword && job.generation != generation_) {
      Apply(job, JobEvent::kPasswordReplaced);
    }
  }
}

// The entry a decoding thread takes: the first that waits for one, in archive order, unless an
// entry much larger than that one waits further on (one at a time). Such an entry is taken
// early, once what still waits before it would fill no more than the share of the budget it
// may hold ahead: it is then well on when its turn comes, and finishes while the others go on
// with the entries after it, instead of ending the run alone on one processor. Only its
// decoding comes early; its file is written at its turn. The entry at the writer's turn always
// goes first: it waits only when the writer has left it to an idle decoding thread, and the
// writer waits for that thread to take it.
ExtractionSchedule::Job* ExtractionSchedule::JobToTake() {
  Job* first = nullptr;
  std::size_t index = turn_;
  for (; index < added_ && first == nullptr; ++index) {
    Job& job = Slot(index);
    if (job.index == index && job.state == JobState::kQueued) first = &job;
  }
  if (first == nullptr || first->index == turn_ || (bigJob_ != SIZE_MAX && bigJob_ >= turn_)) return first;
  Job* big = nullptr;
  std::uint64_t bigSize = first->entry->compressedSize * kBigEntryFactor;
  if (bigSize < kBigEntry) bigSize = kBigEntry;
  std::uint64_t waiting = 0, waitingBeforeBig = 0;  // decoded bytes of the queued entries
  for (index = first->index; index < added_; ++index) {
    Job& job = Slot(index);
    if (job.index != index || job.state != JobState::kQueued) continue;
    if (job.entry->compressedSize >= bigSize) {
      big = &job;
      bigSize = job.entry->compressedSize;
      waitingBeforeBig = waiting;
    }
    waiting += job.entry->uncompressedSize;
  }
  if (big == nullptr || waitingBeforeBig > kBigEntryChunks * kChunkSize) return first;
  bigJob_ = big->index;
  return big;
}

bool ExtractionSchedule::InPool(const Chunk* chunk) const {
  const auto* pool = static_cast<const Chunk*>(pool_);
  return pool != nullptr && chunk >= pool && chunk < pool + kPoolChunks;
}

// A free chunk: one given back, else the next of the pool (made at the first need), else,
// should the pool be missing or used up, one of its own.
ExtractionSchedule::Chunk* ExtractionSchedule::TakeChunk() {
  Chunk* chunk = freeChunks_;
  if (chunk != nullptr) {
    freeChunks_ = chunk->next;
  } else {
    if (pool_ == nullptr && !poolRefused_) {
      pool_ = AllocateLargeBlock(kPoolChunks * sizeof(Chunk));
      poolRefused_ = pool_ == nullptr;
    }
    if (pool_ != nullptr && poolUsed_ < kPoolChunks) {
      chunk = new (static_cast<Chunk*>(pool_) + poolUsed_++) Chunk;
    } else {
      chunk = new (std::nothrow) Chunk;
      if (chunk == nullptr) return nullptr;
    }
  }
  chunk->next = nullptr;
  chunk->size = 0;
  ++chunksOut_;
  return chunk;
}

void ExtractionSchedule::PutChunk(Chunk* chunk) {
  chunk->next = freeChunks_;
  freeChunks_ = chunk;
  if (chunksOut_-- == kBudgetChunks) Wake({Waiter::kDecoderForRoom});  // room again
}

void ExtractionSchedule::FreeChunks(Job& job) {
  while (job.first != nullptr) {
    Chunk* chunk = job.first;
    job.first = chunk->next;
    PutChunk(chunk);
  }
  job.last = nullptr;
  job.chunks = 0;
}

void ExtractionSchedule::Release(Chunk* chunk) {
  MutexLock lock(mutex_);
  PutChunk(chunk);
}

bool ExtractionSchedule::Wanted(const Job& job, std::size_t index) const {
  return !stopping_ && job.index == index && job.state == JobState::kDecoding;
}

// On a decoding thread: a chunk for the job's next block, once there is room. Null when the
// writer no longer wants the job's data, the schedule stops, or memory ran out.
ExtractionSchedule::Chunk* ExtractionSchedule::AcquireChunk(Job& job, std::size_t index) {
  MutexLock lock(mutex_);
  for (;;) {
    if (!Wanted(job, index)) return nullptr;
    const bool share = index != bigJob_ || index == turn_ || job.chunks < kBigEntryChunks;
    const bool room = chunksOut_ < kBudgetChunks && share;
    if (room || (index == turn_ && job.chunks < kTurnReserve)) break;
    Wait(Waiter::kDecoderForRoom);
  }
  return TakeChunk();
}

// The filled chunk goes to the job's, or back when the job's data is no longer wanted.
bool ExtractionSchedule::Commit(Job& job, std::size_t index, Chunk* chunk) {
  MutexLock lock(mutex_);
  if (!Wanted(job, index)) {
    PutChunk(chunk);
    return false;
  }
  if (job.last != nullptr) {
    job.last->next = chunk;
  } else {
    job.first = chunk;
  }
  job.last = chunk;
  ++job.chunks;
  // The writer takes the chunks two at a time at least: half the wake-ups. The turn's reserve
  // lets the decoding thread add the second, and the end of the entry wakes it anyway.
  if (index == turn_ && job.chunks >= kTurnReserve) Wake({Waiter::kWriterForData});
  return true;
}

void ExtractionSchedule::DecodingMain(void* schedule) { static_cast<ExtractionSchedule*>(schedule)->Decode(); }

namespace {

// One entry decoded ahead, as far as it goes. True when it went to its end and passed every
// check; false for anything else, which the writer then decodes itself at its turn. Never
// throws; touches nothing but the reader, the archive and the sink.
bool DecodeAhead(zip::EntryReader& reader, InputFile& archive, const zip::CentralDirectory& directory,
                 const zip::Entry& entry, const std::wstring& name, std::string_view password,
                 OutputFile& sink) noexcept {
  try {
    if (!reader.Begin(archive, directory, entry, name).ok()) return false;
    if (reader.IsEncrypted() && !reader.TryPassword(password)) return false;
    return reader.Decode(sink, name).ok();
  } catch (...) {
    return false;
  }
}

// A copy of the password that is wiped when it goes.
struct PasswordCopy {
  std::string text;
  ~PasswordCopy() { crypto::SecureWipe(text.data(), text.size()); }
};

}  // namespace

// A decoding thread: takes the first queued entry after the turn, decodes it into chunks,
// until the schedule stops. A thread that cannot get its buffers ends: the others, or the
// writer, do its share.
void ExtractionSchedule::Decode() {
  std::unique_ptr<zip::EntryReader> reader;
  std::unique_ptr<ArchiveView> view;
  try {
    reader = std::make_unique<zip::EntryReader>();
    view = std::make_unique<ArchiveView>(archive_, archiveMutex_);
  } catch (...) {
    return;
  }
  MutexLock lock(mutex_);
  while (!stopping_) {
    Job* job = JobToTake();
    if (job == nullptr) {
      Wait(Waiter::kDecoderForWork);
      continue;
    }
    Apply(*job, JobEvent::kTake);
    const std::size_t index = job->index;
    job->usedPassword = job->entry->method == zip::kMethodWzAes;
    job->generation = generation_;
    bool complete = false;
    try {
      PasswordCopy password{password_};
      MutexUnlock unlocked(mutex_);
      ChunkSink sink(*this, *job, index);
      complete = DecodeAhead(*reader, *view, directory_, *job->entry, job->name, password.text, sink);
    } catch (...) {  // no memory for the password's copy: the writer decodes the entry
    }
    job->complete = complete;
    Apply(*job, JobEvent::kEnd);
  }
}

bool ExtractionSchedule::StartCloser() {
  if (closerRefused_ || closersStarted_ == kMaxClosers) return false;
  if (!closers_[closersStarted_].Start(&ExtractionSchedule::ClosingMain, this)) {
    closerRefused_ = true;
    return false;
  }
  ++closersStarted_;
  return true;
}

void ExtractionSchedule::CloseFile(Close& close) {
  try {
    close.file->Close();
    close.file.reset();
    if (close.setAttributes) fs_.SetAttributes(close.path, close.attributes);
  } catch (...) {  // out of memory converting the path: the file keeps the attributes it has
  }
  close.file.reset();
}

void ExtractionSchedule::HandOver(std::unique_ptr<OutputFile> file, const std::wstring& path, bool setAttributes,
                                  std::uint32_t attributes) {
  Close close{nullptr, path, setAttributes, attributes};  // the copy first: it may throw
  close.file = std::move(file);
  {
    MutexLock lock(mutex_);
    // Another closing thread when none runs yet, or when files wait that no idle one takes.
    if (closersStarted_ == 0 || closeCount_ >= waiting_[static_cast<int>(Waiter::kCloser)] + 2) StartCloser();
    if (closersStarted_ > 0) {
      while (closeCount_ == kMaxPendingCloses) Wait(Waiter::kWriterForCloses);
      closes_[(closeHead_ + closeCount_++) % kMaxPendingCloses] = std::move(close);
      Wake({Waiter::kCloser});
      return;
    }
  }
  CloseFile(close);  // no closing thread: the writer closes it itself
}

bool ExtractionSchedule::ClosesPending() {
  MutexLock lock(mutex_);
  return closeCount_ + closing_ > 0;
}

void ExtractionSchedule::WaitForCloses() {
  MutexLock lock(mutex_);
  while (closeCount_ + closing_ > 0) Wait(Waiter::kWriterForCloses);
}

void ExtractionSchedule::ClosingMain(void* schedule) { static_cast<ExtractionSchedule*>(schedule)->CloseFiles(); }

// A closing thread: closes what is handed over, until the schedule ends and nothing is left.
void ExtractionSchedule::CloseFiles() {
  MutexLock lock(mutex_);
  for (;;) {
    if (closeCount_ > 0) {
      Close close = std::move(closes_[closeHead_]);
      closeHead_ = (closeHead_ + 1) % kMaxPendingCloses;
      --closeCount_;
      ++closing_;
      Wake({Waiter::kWriterForCloses});  // room in the queue
      {
        MutexUnlock unlocked(mutex_);
        CloseFile(close);
      }
      --closing_;
      Wake({Waiter::kWriterForCloses});
      continue;
    }
    if (closersEnd_) return;
    Wait(Waiter::kCloser);
  }
}

}  // namespace orv
