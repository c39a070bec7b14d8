#include "archive_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "crypto/wzaes.h"
#include "distro_error.h"
#include "dos_time.h"
#include "zip/zip_format.h"

namespace ot::mkdistro {
namespace {

using orv::zip::StoreLe16;
using orv::zip::StoreLe32;

constexpr std::size_t kReadBlock = 256 * 1024;
constexpr std::size_t kOutBlock = 256 * 1024;
constexpr std::uint64_t kMax32 = 0xFFFFFFFEULL;  // 0xFFFFFFFF would mark a ZIP64 value

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

class Deflater {
 public:
  explicit Deflater(int level) {
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw DistroError("cannot set up deflate at level " + std::to_string(level));
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

// Appends the fields shared by the local and the central header, from "version needed".
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

class EntryWriter {
 public:
  EntryWriter(OutputSink& sink, const WriteOptions& options)
      : sink_(sink), options_(options), deflater_(options.level), in_(kReadBlock), out_(kOutBlock) {}

  // Writes one entry at the sink's position and returns its record.
  EntryRecord Write(const PayloadFile& file, std::uint64_t& bytesRead, std::size_t filesDone) {
    EntryRecord entry{&file, ToDosDateTime(file.mtime), 0, 0, 0};
    const std::uint64_t offset = sink_.Position();
    entry.localOffset = Checked32(offset, "the local header of " + Quoted(file.name));
    const std::vector<std::uint8_t> placeholder = LocalHeader(entry);
    sink_.Write(placeholder.data(), placeholder.size());

    // Salt and password verifier lead the entry's data.
    std::uint8_t lead[16 + orv::crypto::kWzAesVerifierSize];
    const std::size_t saltSize = orv::crypto::WzAesSaltSize(kAesStrength);
    options_.randomBytes(lead, saltSize);
    orv::crypto::WzAesCipher cipher;
    cipher.Init(kAesStrength, reinterpret_cast<const std::uint8_t*>(options_.password.data()),
                options_.password.size(), lead, lead + saltSize);
    sink_.Write(lead, saltSize + orv::crypto::kWzAesVerifierSize);

    const std::uint64_t streamSize = Compress(file, cipher, bytesRead, filesDone);
    std::uint8_t mac[orv::crypto::kWzAesMacSize];
    cipher.FinalMac(mac);
    cipher.Wipe();
    sink_.Write(mac, sizeof mac);

    entry.compressedSize = Checked32(saltSize + orv::crypto::kWzAesVerifierSize + streamSize + sizeof mac,
                                     "the encrypted data of " + Quoted(file.name));
    entry.uncompressedSize = static_cast<std::uint32_t>(file.size);

    std::uint8_t descriptor[orv::zip::kDataDescriptorSize];
    StoreLe32(descriptor, orv::zip::kDataDescriptorSignature);
    StoreLe32(descriptor + 4, 0);
    StoreLe32(descriptor + 8, entry.compressedSize);
    StoreLe32(descriptor + 12, entry.uncompressedSize);
    sink_.Write(descriptor, sizeof descriptor);

    const std::vector<std::uint8_t> header = LocalHeader(entry);
    sink_.WriteAt(offset, header.data(), header.size());
    return entry;
  }

 private:
  // Streams the file through deflate and the cipher into the sink; returns the stream's size.
  std::uint64_t Compress(const PayloadFile& file, orv::crypto::WzAesCipher& cipher,
                         std::uint64_t& bytesRead, std::size_t filesDone) {
    FileDescriptor fd(open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) throw DistroError("cannot open " + Quoted(file.path) + ": " + std::strerror(errno));
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      throw DistroError(Quoted(file.path) + " is no longer a regular file");
    }
    z_stream& z = deflater_.stream();
    deflateReset(&z);
    std::uint64_t fileRead = 0, produced = 0;
    for (;;) {
      const ssize_t n = read(fd.get(), in_.data(), in_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw DistroError("cannot read " + Quoted(file.path) + ": " + std::strerror(errno));
      }
      fileRead += static_cast<std::uint64_t>(n);
      if (fileRead > file.size) break;
      const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
      z.next_in = in_.data();
      z.avail_in = static_cast<uInt>(n);
      int result;
      do {
        z.next_out = out_.data();
        z.avail_out = static_cast<uInt>(out_.size());
        result = deflate(&z, flush);
        if (result == Z_STREAM_ERROR) throw DistroError("deflate failed on " + Quoted(file.path));
        const std::size_t size = out_.size() - z.avail_out;
        cipher.Encrypt(out_.data(), size);
        sink_.Write(out_.data(), size);
        produced += size;
      } while (z.avail_out == 0);
      if (flush == Z_FINISH) {
        if (result != Z_STREAM_END) throw DistroError("deflate did not finish " + Quoted(file.path));
        break;
      }
      bytesRead += static_cast<std::uint64_t>(n);
      if (options_.progress) options_.progress(bytesRead, filesDone);
    }
    if (fileRead != file.size) {
      throw DistroError(Quoted(file.path) + " changed size while it was being read (" +
                        std::to_string(file.size) + " bytes when listed)");
    }
    return produced;
  }

  OutputSink& sink_;
  const WriteOptions& options_;
  Deflater deflater_;
  std::vector<std::uint8_t> in_, out_;
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
  if (options.level < 0 || options.level > 9) {
    throw DistroError("deflate level " + std::to_string(options.level) + " is not between 0 and 9");
  }
  if (options.password.empty()) throw DistroError("the password is empty");
  if (!options.randomBytes) throw DistroError("no source of random salts");

  EntryWriter writer(sink, options);
  std::vector<EntryRecord> entries;
  entries.reserve(files.size());
  std::uint64_t bytesRead = 0;
  for (const PayloadFile& file : files) {
    entries.push_back(writer.Write(file, bytesRead, entries.size()));
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
  if (options.progress) options.progress(bytesRead, entries.size());
  return layout;
}

}  // namespace ot::mkdistro
