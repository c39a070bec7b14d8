#include "zip/central_directory.h"

#include <algorithm>
#include <vector>

#include "zip/zip_format.h"

namespace orv::zip {

namespace {

constexpr std::size_t kDirectoryBufferSize = 64 * 1024;

bool ReadAt(InputFile& file, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  std::size_t got = 0;
  return file.Seek(offset) && file.Read(buffer, size, got) && got == size;
}

// Sequential reads through one fixed buffer, for the central directory.
class DirectoryStream {
 public:
  DirectoryStream(InputFile& file, std::uint64_t remaining) : file_(file), remaining_(remaining) {
    buffer_.resize(kDirectoryBufferSize);
  }

  // Copies size bytes to out (or skips them when out is null). False when the directory ends
  // first or the file cannot be read; readError_ tells the two apart.
  bool Take(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
      if (position_ == filled_ && !Refill()) return false;
      const std::size_t n = std::min(size, filled_ - position_);
      if (out != nullptr) {
        std::copy_n(buffer_.data() + position_, n, out);
        out += n;
      }
      position_ += n;
      size -= n;
    }
    return true;
  }

  bool readError() const { return readError_; }

 private:
  bool Refill() {
    if (remaining_ == 0) return false;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, buffer_.size()));
    std::size_t got = 0;
    if (!file_.Read(buffer_.data(), want, got) || got != want) {
      readError_ = true;
      return false;
    }
    remaining_ -= want;
    position_ = 0;
    filled_ = want;
    return true;
  }

  InputFile& file_;
  std::uint64_t remaining_;
  std::vector<std::uint8_t> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  bool readError_ = false;
};

struct EndRecord {
  std::uint64_t position = 0;  // where the end record (or the ZIP64 end record) starts
  std::uint64_t entryCount = 0;
  std::uint64_t directorySize = 0;
  std::uint64_t directoryOffset = 0;
};

OpenResult FindEndRecord(InputFile& file, std::uint64_t fileSize, EndRecord& end) {
  if (fileSize < kEndOfCentralDirSize) return OpenResult::kNotAnArchive;
  const std::size_t tailSize =
      static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kEndOfCentralDirSize + kMaxCommentSize));
  const std::uint64_t tailStart = fileSize - tailSize;
  std::vector<std::uint8_t> tail(tailSize);
  if (!ReadAt(file, tailStart, tail.data(), tailSize)) return OpenResult::kReadError;

  // The last signature whose comment fits in the rest of the file is the record.
  std::size_t found = tailSize;
  for (std::size_t pos = tailSize - kEndOfCentralDirSize + 1; pos-- > 0;) {
    if (LoadLe32(&tail[pos]) != kEndOfCentralDirSignature) continue;
    const std::size_t commentSize = LoadLe16(&tail[pos + 20]);
    if (pos + kEndOfCentralDirSize + commentSize <= tailSize) {
      found = pos;
      break;
    }
  }
  if (found == tailSize) return OpenResult::kNotAnArchive;

  const std::uint8_t* record = &tail[found];
  const std::uint16_t diskNumber = LoadLe16(record + 4);
  const std::uint16_t directoryDisk = LoadLe16(record + 6);
  const std::uint16_t entriesOnDisk = LoadLe16(record + 8);
  end.position = tailStart + found;
  end.entryCount = LoadLe16(record + 10);
  end.directorySize = LoadLe32(record + 12);
  end.directoryOffset = LoadLe32(record + 16);

  // A ZIP64 locator right in front of the record points at the ZIP64 end record, whose
  // values replace the 16- and 32-bit ones.
  if (end.position >= kZip64EndLocatorSize) {
    std::uint8_t locator[kZip64EndLocatorSize];
    if (!ReadAt(file, end.position - kZip64EndLocatorSize, locator, sizeof locator)) {
      return OpenResult::kReadError;
    }
    if (LoadLe32(locator) == kZip64EndLocatorSignature) {
      const std::uint64_t recordOffset = LoadLe64(locator + 8);
      std::uint8_t zip64[kZip64EndOfCentralDirSize];
      if (end.position < kZip64EndLocatorSize + kZip64EndOfCentralDirSize ||
          recordOffset > end.position - kZip64EndLocatorSize - kZip64EndOfCentralDirSize ||
          !ReadAt(file, recordOffset, zip64, sizeof zip64) ||
          LoadLe32(zip64) != kZip64EndOfCentralDirSignature) {
        return OpenResult::kNoZip64End;
      }
      if (LoadLe32(zip64 + 16) != 0 || LoadLe32(zip64 + 20) != 0 ||
          LoadLe64(zip64 + 24) != LoadLe64(zip64 + 32)) {
        return OpenResult::kDamaged;  // spanned over several disks
      }
      end.position = recordOffset;
      end.entryCount = LoadLe64(zip64 + 32);
      end.directorySize = LoadLe64(zip64 + 40);
      end.directoryOffset = LoadLe64(zip64 + 48);
      return OpenResult::kOk;
    }
  }
  if (diskNumber != 0 || directoryDisk != 0 || entriesOnDisk != end.entryCount) {
    return OpenResult::kDamaged;
  }
  return OpenResult::kOk;
}

// Values from the ZIP64 extra field, present only for the fields that hold all ones.
bool ApplyZip64Field(const std::uint8_t* data, std::size_t size, Entry& entry) {
  std::size_t at = 0;
  auto take = [&](std::uint64_t& value) {
    if (at + 8 > size) return false;
    value = LoadLe64(data + at);
    at += 8;
    return true;
  };
  if (entry.uncompressedSize == 0xFFFFFFFF && !take(entry.uncompressedSize)) return false;
  if (entry.compressedSize == 0xFFFFFFFF && !take(entry.compressedSize)) return false;
  if (entry.localHeaderOffset == 0xFFFFFFFF && !take(entry.localHeaderOffset)) return false;
  return true;
}

bool ParseExtraFields(const std::uint8_t* extra, std::size_t size, Entry& entry) {
  bool zip64Seen = false;
  std::size_t at = 0;
  while (at + 4 <= size) {
    const std::uint16_t id = LoadLe16(extra + at);
    const std::size_t fieldSize = LoadLe16(extra + at + 2);
    at += 4;
    if (fieldSize > size - at) return false;
    const std::uint8_t* data = extra + at;
    if (id == kExtraZip64 && !zip64Seen) {
      if (!ApplyZip64Field(data, fieldSize, entry)) return false;
      zip64Seen = true;
    } else if (id == kExtraWzAes && fieldSize >= kWzAesExtraDataSize && data[2] == 'A' &&
               data[3] == 'E') {
      entry.aes.present = true;
      entry.aes.vendorVersion = LoadLe16(data);
      entry.aes.strength = data[4];
      entry.aes.method = LoadLe16(data + 5);
    }
    at += fieldSize;
  }
  return true;  // a few stray bytes after the last field are tolerated
}

}  // namespace

OpenResult ReadCentralDirectory(InputFile& file, CentralDirectory& out) {
  out = CentralDirectory();
  if (!file.Size(out.archiveSize)) return OpenResult::kReadError;
  EndRecord end;
  if (const OpenResult found = FindEndRecord(file, out.archiveSize, end); found != OpenResult::kOk) {
    return found;
  }

  // The directory must lie in front of the end record. When it is not where its offset says
  // but ends right at the end record, the archive has bytes prepended: remember how many.
  if (end.directorySize > end.position || end.directoryOffset > end.position - end.directorySize) {
    return OpenResult::kDamaged;
  }
  if (end.entryCount > end.directorySize / kCentralHeaderSize) return OpenResult::kDamaged;
  std::uint64_t directoryStart = end.directoryOffset;
  std::uint8_t signature[4];
  if (end.entryCount > 0) {
    if (!ReadAt(file, directoryStart, signature, sizeof signature)) return OpenResult::kReadError;
    if (LoadLe32(signature) != kCentralHeaderSignature) {
      directoryStart = end.position - end.directorySize;
      out.baseOffset = directoryStart - end.directoryOffset;
      if (!ReadAt(file, directoryStart, signature, sizeof signature)) return OpenResult::kReadError;
      if (LoadLe32(signature) != kCentralHeaderSignature) return OpenResult::kDamaged;
    }
  }

  if (!file.Seek(directoryStart)) return OpenResult::kReadError;
  DirectoryStream stream(file, end.directorySize);
  const auto failure = [&stream] {
    return stream.readError() ? OpenResult::kReadError : OpenResult::kDamaged;
  };
  std::vector<std::uint8_t> extra;
  // The count is only a claim until the records are read: reserve no more than a sane amount.
  out.entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(end.entryCount, 0x10000)));
  for (std::uint64_t i = 0; i < end.entryCount; ++i) {
    std::uint8_t header[kCentralHeaderSize];
    if (!stream.Take(header, sizeof header)) return failure();
    if (LoadLe32(header) != kCentralHeaderSignature) return OpenResult::kDamaged;
    Entry entry;
    entry.versionMadeBy = LoadLe16(header + 4);
    entry.flags = LoadLe16(header + 8);
    entry.method = LoadLe16(header + 10);
    entry.dosTime = LoadLe16(header + 12);
    entry.dosDate = LoadLe16(header + 14);
    entry.crc32 = LoadLe32(header + 16);
    entry.compressedSize = LoadLe32(header + 20);
    entry.uncompressedSize = LoadLe32(header + 24);
    const std::size_t nameSize = LoadLe16(header + 28);
    const std::size_t extraSize = LoadLe16(header + 30);
    const std::size_t commentSize = LoadLe16(header + 32);
    entry.externalAttributes = LoadLe32(header + 38);
    entry.localHeaderOffset = LoadLe32(header + 42);

    entry.storedName.resize(nameSize);
    if (!stream.Take(reinterpret_cast<std::uint8_t*>(entry.storedName.data()), nameSize)) {
      return failure();
    }
    extra.resize(extraSize);
    if (!stream.Take(extra.data(), extraSize)) return failure();
    if (!stream.Take(nullptr, commentSize)) return failure();
    if (!ParseExtraFields(extra.data(), extraSize, entry)) return OpenResult::kDamaged;
    out.entries.push_back(std::move(entry));
  }
  return OpenResult::kOk;
}

}  // namespace orv::zip
