#include "extraction_schedule.h"

#include <cstring>
#include <new>
#include <utility>

#include "crypto/wipe.h"
#include "zip/zip_format.h"

namespace orv {

namespace {

// Files handed over and not yet taken by a closing thread; each holds an open file.
constexpr std::size_t kMaxPendingCloses = 16;

}  // namespace

enum class ExtractionSchedule::JobState {
  kFree,       // no entry, or one nothing is decoded ahead for (the writer's, or one done)
  kQueued,     // waits for a decoding thread
  kDecoding,   // a decoding thread decodes it; its chunks go to the writer
  kDecoded,    // its decoding thread has finished; the chunks and how it ended wait
  kStale,      // its decoding thread uses a password replaced since: queued again when it stops
  kAbandoned,  // the writer wants nothing of it any more: free when its decoding thread stops
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

// The output of a decoding thread: every block the entry's reader emits becomes a chunk.
class ExtractionSchedule::ChunkSink final : public OutputFile {
 public:
  ChunkSink(ExtractionSchedule& schedule, Job& job, std::size_t index)
      : schedule_(schedule), job_(job), index_(index) {}
  bool Write(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const std::size_t part = size < kChunkSize ? size : kChunkSize;
      if (!schedule_.Deliver(job_, index_, bytes, part)) return false;
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
  Changed();
  mutex_.Unlock();
  for (unsigned i = 0; i < decodersStarted_; ++i) decoders_[i].Join();
  mutex_.Lock();
  closersEnd_ = true;  // they close what is queued first
  Changed();
  mutex_.Unlock();
  for (unsigned i = 0; i < closersStarted_; ++i) closers_[i].Join();
  for (std::size_t i = 0; i < kWindow; ++i) FreeChunks(jobs_[i]);
  while (freeChunks_ != nullptr) {
    Chunk* chunk = freeChunks_;
    freeChunks_ = chunk->next;
    delete chunk;
  }
  crypto::SecureWipe(password_.data(), password_.size());
}

ExtractionSchedule::Job& ExtractionSchedule::Slot(std::size_t index) { return jobs_[index % kWindow]; }
const ExtractionSchedule::Job& ExtractionSchedule::Slot(std::size_t index) const { return jobs_[index % kWindow]; }

const std::wstring& ExtractionSchedule::Name(std::size_t index) const { return Slot(index).name; }
const zip::Entry& ExtractionSchedule::Entry(std::size_t index) const { return *Slot(index).entry; }

void ExtractionSchedule::Wait() {
  ++waiting_;
  changed_.Wait(mutex_);
  --waiting_;
}

// With the mutex held, after any change another thread may wait for. Most changes find every
// thread busy, and then cost no system call.
void ExtractionSchedule::Changed() {
  if (waiting_ != 0) changed_.NotifyAll();
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
  Changed();
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
  while (job.state != JobState::kFree) Wait();
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
  if (job.state == JobState::kQueued) Apply(job, JobEvent::kDrop);
  Changed();  // a decoding thread waiting for room may use the reserve now
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
      Changed();  // room for the decoding thread
      return Delivery::kChunk;
    }
    switch (job.state) {
      case JobState::kDecoding:
      case JobState::kStale:
        Wait();
        continue;
      case JobState::kDecoded:
        if (job.complete && !(job.usedPassword && job.generation != generation_)) return Delivery::kComplete;
        break;
      case JobState::kFree:
      case JobState::kQueued:
      case JobState::kAbandoned:
        break;
    }
    Apply(job, JobEvent::kDrop);
    return Delivery::kDecodeYourself;
  }
}

void ExtractionSchedule::EndTurn(std::size_t index) {
  MutexLock lock(mutex_);
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

// The first entry after the turn that waits for a decoding thread, in archive order.
ExtractionSchedule::Job* ExtractionSchedule::JobToTake() {
  for (std::size_t index = turn_ + 1; index < added_; ++index) {
    Job& job = Slot(index);
    if (job.index == index && job.state == JobState::kQueued) return &job;
  }
  return nullptr;
}

ExtractionSchedule::Chunk* ExtractionSchedule::TakeChunk() {
  Chunk* chunk = freeChunks_;
  if (chunk != nullptr) {
    freeChunks_ = chunk->next;
  } else {
    chunk = new (std::nothrow) Chunk;
    if (chunk == nullptr) return nullptr;
    ++chunksAllocated_;
  }
  chunk->next = nullptr;
  chunk->size = 0;
  ++chunksOut_;
  return chunk;
}

void ExtractionSchedule::PutChunk(Chunk* chunk) {
  chunk->next = freeChunks_;
  freeChunks_ = chunk;
  --chunksOut_;
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
  Changed();
}

// On a decoding thread: one block of the job's data becomes a chunk, once there is room. False
// when the writer no longer wants the job's data, the schedule stops, or memory ran out.
bool ExtractionSchedule::Deliver(Job& job, std::size_t index, const std::uint8_t* data, std::size_t size) {
  const auto wanted = [&] { return !stopping_ && job.index == index && job.state == JobState::kDecoding; };
  Chunk* chunk = nullptr;
  {
    MutexLock lock(mutex_);
    for (;;) {
      if (!wanted()) return false;
      if (chunksOut_ < kBudgetChunks || (index == turn_ && job.chunks < kTurnReserve)) break;
      Wait();
    }
    chunk = TakeChunk();
    if (chunk == nullptr) return false;
  }
  std::memcpy(chunk->data, data, size);
  chunk->size = size;
  MutexLock lock(mutex_);
  if (!wanted()) {
    PutChunk(chunk);
    Changed();
    return false;
  }
  if (job.last != nullptr) {
    job.last->next = chunk;
  } else {
    job.first = chunk;
  }
  job.last = chunk;
  ++job.chunks;
  Changed();
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
      Wait();
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
    if (idleClosers_ <= closeCount_) StartCloser();
    if (closersStarted_ > 0) {
      while (closeCount_ == kMaxPendingCloses) Wait();
      closes_[(closeHead_ + closeCount_++) % kMaxPendingCloses] = std::move(close);
      Changed();
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
  while (closeCount_ + closing_ > 0) Wait();
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
      Changed();  // room in the queue
      {
        MutexUnlock unlocked(mutex_);
        CloseFile(close);
      }
      --closing_;
      Changed();
      continue;
    }
    if (closersEnd_) return;
    ++idleClosers_;
    Wait();
    --idleClosers_;
  }
}

}  // namespace orv
