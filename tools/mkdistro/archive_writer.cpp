#include "archive_writer.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <numeric>
#include <thread>

#include "crypto/wzaes.h"
#include "distro_error.h"
#include "dos_time.h"
#include "entry_salt.h"
#include "os/threads.h"
#include "zip/zip_format.h"

namespace ot::mkdistro {
namespace {

using orv::zip::StoreLe16;
using orv::zip::StoreLe32;

constexpr std::uint64_t kMax32 = 0xFFFFFFFEULL;  // 0xFFFFFFFF would mark a ZIP64 value
constexpr std::size_t kSaltSize = 8;              // AES-128
constexpr std::size_t kLeadSize = kSaltSize + orv::crypto::kWzAesVerifierSize;
// Payload bytes of entries taken but not yet written (each holds its file and its stream).
constexpr std::uint64_t kMemoryBudget = 256ULL << 20;
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

struct EntryRecord {
  const PayloadFile* file;
  DosDateTime time;
  std::uint32_t compressedSize;
  std::uint32_t uncompressedSize;
  std::uint32_t localOffset;
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class Compressor {
 public:
  explicit Compressor(int level) : compressor_(libdeflate_alloc_compressor(level)) {
    if (!compressor_) throw DistroError("cannot set up deflate at level " + std::to_string(level));
  }
  ~Compressor() { libdeflate_free_compressor(compressor_); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
  libdeflate_compressor* get() const { return compressor_; }

 private:
  libdeflate_compressor* compressor_;
};

// Fields shared by the local and the central header, from "version needed".
void PutCommonFields(std::uint8_t* p, const EntryRecord& entry) {
  StoreLe16(p + 0, orv::zip::kVersion51);
  StoreLe16(p + 2, kEntryFlags);
  StoreLe16(p + 4, orv::zip::kMethodWzAes);
  StoreLe16(p + 6, entry.time.time);
  StoreLe16(p + 8, entry.time.date);
  StoreLe32(p + 10, 0);  // CRC-32: AE-2 leaves it zero
  StoreLe32(p + 14, entry.compressedSize);
  StoreLe32(p + 18, entry.uncompressedSize);
  StoreLe16(p + 22, static_cast<std::uint16_t>(entry.file->name.size()));
  StoreLe16(p + 24, static_cast<std::uint16_t>(kAesExtraFieldSize));
}

std::vector<std::uint8_t> LocalHeader(const EntryRecord& entry) {
  const std::string& name = entry.file->name;
  std::vector<std::uint8_t> header(orv::zip::kLocalHeaderSize + name.size() + kAesExtraFieldSize);
  StoreLe32(header.data(), orv::zip::kLocalHeaderSignature);
  PutCommonFields(header.data() + 4, entry);
  std::memcpy(header.data() + orv::zip::kLocalHeaderSize, name.data(), name.size());
  const auto extra = AesExtraField();
  std::memcpy(header.data() + orv::zip::kLocalHeaderSize + name.size(), extra.data(), extra.size());
  return header;
}

void AppendCentralHeader(std::vector<std::uint8_t>& out, const EntryRecord& entry) {
  const std::string& name = entry.file->name;
  const std::size_t start = out.size();
  out.resize(start + orv::zip::kCentralHeaderSize + name.size() + kAesExtraFieldSize);
  std::uint8_t* p = out.data() + start;
  StoreLe32(p, orv::zip::kCentralHeaderSignature);
  StoreLe16(p + 4, orv::zip::kVersion51);  // made by: MS-DOS attributes, version 5.1
  PutCommonFields(p + 6, entry);
  StoreLe16(p + 32, 0);  // comment length
  StoreLe16(p + 34, 0);  // disk number start
  StoreLe16(p + 36, 0);  // internal attributes
  StoreLe32(p + 38, orv::zip::kAttributeArchive);
  StoreLe32(p + 42, entry.localOffset);
  std::memcpy(p + orv::zip::kCentralHeaderSize, name.data(), name.size());
  const auto extra = AesExtraField();
  std::memcpy(p + orv::zip::kCentralHeaderSize + name.size(), extra.data(), extra.size());
}

std::uint32_t Checked32(std::uint64_t value, const std::string& what) {
  if (value > kMax32) {
    throw DistroError(what + " passes 4 GiB; the archive cannot hold it without ZIP64 records");
  }
  return static_cast<std::uint32_t>(value);
}

// The whole file, checked against the size it had when the payload was listed.
std::vector<std::uint8_t> ReadWhole(const PayloadFile& file) {
  FileDescriptor fd(open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) throw DistroError("cannot open " + Quoted(file.path) + ": " + std::strerror(errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw DistroError(Quoted(file.path) + " is no longer a regular file");
  }
  // One byte more than expected, to see a file that grew.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.size) + 1);
  std::size_t have = 0;
  for (;;) {
    const ssize_t n = read(fd.get(), bytes.data() + have, bytes.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw DistroError("cannot read " + Quoted(file.path) + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
    if (have == bytes.size()) break;
  }
  if (have != file.size) {
    throw DistroError(Quoted(file.path) + " changed size while it was being read (" +
                      std::to_string(file.size) + " bytes when listed)");
  }
  bytes.pop_back();
  return bytes;
}

// One entry's data as it lies in the archive: salt, verifier, encrypted raw deflate stream,
// authentication code.
std::vector<std::uint8_t> EncodeEntry(const PayloadFile& file, const Compressor& compressor,
                                      const std::string& password, const SaltDeriver& salts) {
  const std::vector<std::uint8_t> plain = ReadWhole(file);
  const std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), plain.size());
  std::vector<std::uint8_t> data(kLeadSize + bound + orv::crypto::kWzAesMacSize);
  std::uint8_t* stream = data.data() + kLeadSize;
  const std::size_t streamSize =
      libdeflate_deflate_compress(compressor.get(), plain.data(), plain.size(), stream, bound);
  if (streamSize == 0) throw DistroError("deflate failed on " + Quoted(file.path));

  salts.Derive(file.name, stream, streamSize, data.data(), kSaltSize);
  orv::crypto::WzAesCipher cipher;
  cipher.Init(kAesStrength, reinterpret_cast<const std::uint8_t*>(password.data()), password.size(),
              data.data(), data.data() + kSaltSize);
  cipher.Encrypt(stream, streamSize);
  cipher.FinalMac(stream + streamSize);
  cipher.Wipe();
  data.resize(kLeadSize + streamSize + orv::crypto::kWzAesMacSize);
  data.shrink_to_fit();
  return data;
}

unsigned ThreadCount(const WriteOptions& options, std::size_t files) {
  const unsigned wanted = options.threads == 0 ? orv::ProcessorCount() : options.threads;
  return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(wanted, files)));
}

// Encodes the entries on worker threads; the calling thread takes them in archive order.
class ParallelEncoder {
 public:
  ParallelEncoder(const std::vector<PayloadFile>& files, const WriteOptions& options)
      : files_(files), options_(options), salts_(options.password), slots_(files.size()) {
    order_.resize(files.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return files[a].size > files[b].size; });
    const unsigned count = ThreadCount(options, files.size());
    try {
      for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { Work(); });
    } catch (...) {
      Stop();
      throw;
    }
  }
  ~ParallelEncoder() { Stop(); }
  ParallelEncoder(const ParallelEncoder&) = delete;
  ParallelEncoder& operator=(const ParallelEncoder&) = delete;

  // Waits for entry index (the one after the last taken), calling tick first and then about
  // five times a second while it waits. Rethrows the entry's failure.
  std::vector<std::uint8_t> Take(std::size_t index, const std::function<void(std::uint64_t)>& tick) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const std::uint64_t done = bytesDone_;
      lock.unlock();
      if (tick) tick(done);
      lock.lock();
      if (slots_[index].done) break;
      changed_.wait_for(lock, kProgressInterval);
      if (slots_[index].done) break;
    }
    Slot& slot = slots_[index];
    if (slot.error) std::rethrow_exception(slot.error);
    std::vector<std::uint8_t> data = std::move(slot.data);
    inFlight_ -= files_[index].size;
    nextToTake_ = index + 1;
    changed_.notify_all();
    return data;
  }

  std::uint64_t BytesDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesDone_;
  }

 private:
  struct Slot {
    bool claimed = false;
    bool done = false;
    std::vector<std::uint8_t> data;
    std::exception_ptr error;
  };

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  // Under the lock: the next entry this thread may take, or files_.size() for none yet. The
  // largest unclaimed file while the budget allows it; otherwise only the entry the writer
  // needs next, so that the writer always moves on.
  std::size_t Choose() {
    while (nextInOrder_ < order_.size() && slots_[order_[nextInOrder_]].claimed) ++nextInOrder_;
    if (nextInOrder_ == order_.size()) return files_.size();
    const std::size_t largest = order_[nextInOrder_];
    if (inFlight_ == 0 || inFlight_ + files_[largest].size <= kMemoryBudget) return largest;
    if (nextToTake_ < files_.size() && !slots_[nextToTake_].claimed) return nextToTake_;
    return files_.size();
  }

  void Work() {
    std::unique_ptr<Compressor> compressor;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      std::size_t index = files_.size();
      changed_.wait(lock, [&] {
        index = Choose();
        return stop_ || index < files_.size() || nextInOrder_ == order_.size();
      });
      if (stop_ || index == files_.size()) return;
      slots_[index].claimed = true;
      inFlight_ += files_[index].size;
      lock.unlock();

      std::vector<std::uint8_t> data;
      std::exception_ptr error;
      try {
        if (!compressor) compressor = std::make_unique<Compressor>(options_.level);
        data = EncodeEntry(files_[index], *compressor, options_.password, salts_);
      } catch (...) {
        error = std::current_exception();
      }

      lock.lock();
      slots_[index].data = std::move(data);
      slots_[index].error = error;
      slots_[index].done = true;
      bytesDone_ += files_[index].size;
      changed_.notify_all();
    }
  }

  const std::vector<PayloadFile>& files_;
  const WriteOptions& options_;
  const SaltDeriver salts_;
  std::vector<std::size_t> order_;  // indexes, largest file first
  std::vector<Slot> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t nextInOrder_ = 0;
  std::size_t nextToTake_ = 0;
  std::uint64_t inFlight_ = 0;
  std::uint64_t bytesDone_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

std::array<std::uint8_t, kAesExtraFieldSize> AesExtraField() {
  std::array<std::uint8_t, kAesExtraFieldSize> field{};
  StoreLe16(field.data(), orv::zip::kExtraWzAes);
  StoreLe16(field.data() + 2, static_cast<std::uint16_t>(orv::zip::kWzAesExtraDataSize));
  StoreLe16(field.data() + 4, kAesVendorVersion);
  field[6] = 'A';
  field[7] = 'E';
  field[8] = static_cast<std::uint8_t>(kAesStrength);
  StoreLe16(field.data() + 9, orv::zip::kMethodDeflate);
  return field;
}

void MemorySink::Write(const std::uint8_t* data, std::size_t size) {
  bytes_.insert(bytes_.end(), data, data + size);
}

void MemorySink::WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  if (offset > bytes_.size() || size > bytes_.size() - offset) {
    throw DistroError("write past the end of the archive");
  }
  std::memcpy(bytes_.data() + offset, data, size);
}

ArchiveLayout WriteArchive(const std::vector<PayloadFile>& files, OutputSink& sink,
                           const WriteOptions& options) {
  CheckPayload(files);
  if (options.level < 0 || options.level > kMaxLevel) {
    throw DistroError("deflate level " + std::to_string(options.level) + " is not between 0 and " +
                      std::to_string(kMaxLevel));
  }
  if (options.password.empty()) throw DistroError("the password is empty");

  std::vector<EntryRecord> entries;
  entries.reserve(files.size());
  ParallelEncoder encoder(files, options);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const PayloadFile& file = files[i];
    std::function<void(std::uint64_t)> tick;
    if (options.progress) tick = [&](std::uint64_t done) { options.progress(done, i, file.name); };
    const std::vector<std::uint8_t> data = encoder.Take(i, tick);

    EntryRecord entry{&file, ToDosDateTime(file.mtime, options.universalTime), 0, 0, 0};
    entry.localOffset = Checked32(sink.Position(), "the local header of " + Quoted(file.name));
    entry.compressedSize = Checked32(data.size(), "the encrypted data of " + Quoted(file.name));
    entry.uncompressedSize = static_cast<std::uint32_t>(file.size);
    const std::vector<std::uint8_t> header = LocalHeader(entry);
    sink.Write(header.data(), header.size());
    sink.Write(data.data(), data.size());
    std::uint8_t descriptor[orv::zip::kDataDescriptorSize];
    StoreLe32(descriptor, orv::zip::kDataDescriptorSignature);
    StoreLe32(descriptor + 4, 0);
    StoreLe32(descriptor + 8, entry.compressedSize);
    StoreLe32(descriptor + 12, entry.uncompressedSize);
    sink.Write(descriptor, sizeof descriptor);
    entries.push_back(entry);
  }

  ArchiveLayout layout;
  layout.entries = entries.size();
  layout.centralDirOffset = sink.Position();
  std::vector<std::uint8_t> central;
  for (const EntryRecord& entry : entries) AppendCentralHeader(central, entry);
  layout.centralDirSize = central.size();
  const std::uint32_t cdOffset = Checked32(layout.centralDirOffset, "the central directory's offset");
  const std::uint32_t cdSize = Checked32(layout.centralDirSize, "the central directory");
  sink.Write(central.data(), central.size());

  std::uint8_t end[orv::zip::kEndOfCentralDirSize];
  StoreLe32(end, orv::zip::kEndOfCentralDirSignature);
  StoreLe16(end + 4, 0);  // this disk
  StoreLe16(end + 6, 0);  // disk of the central directory
  StoreLe16(end + 8, static_cast<std::uint16_t>(entries.size()));
  StoreLe16(end + 10, static_cast<std::uint16_t>(entries.size()));
  StoreLe32(end + 12, cdSize);
  StoreLe32(end + 16, cdOffset);
  StoreLe16(end + 20, 0);  // no comment
  sink.Write(end, sizeof end);
  layout.archiveSize = sink.Position();
  if (options.progress) options.progress(encoder.BytesDone(), entries.size(), std::string());
  return layout;
}

}  // namespace ot::mkdistro
