#include "archive_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive_writer.h"
#include "crypto/wzaes.h"
#include "payload_scan.h"
#include "zip/zip_format.h"

namespace ot::mkdistro {
namespace {

using orv::zip::LoadLe16;
using orv::zip::LoadLe32;

constexpr std::size_t kMaxProblems = 25;

struct CentralEntry {
  std::uint16_t versionMadeBy, versionNeeded, flags, method, time, date;
  std::uint32_t crc, compressedSize, uncompressedSize;
  std::uint16_t commentSize, diskStart, internalAttributes;
  std::uint32_t externalAttributes, localOffset;
  std::string name;
  std::vector<std::uint8_t> extra;
  // Filled from the local record once it has been read.
  bool localRead = false;
  std::uint64_t dataOffset = 0;
  std::uint64_t end = 0;  // one past the data descriptor
};

class Checker {
 public:
  Checker(const std::string& path, const VerifyOptions& options, VerifyReport& report)
      : path_(path), options_(options), report_(report) {}

  void Run() {
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return Problem("cannot open \"" + path_ + "\": " + std::strerror(errno));
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return Problem("\"" + path_ + "\" is not a regular file");
    report_.fileSize = static_cast<std::uint64_t>(st.st_size);
    if (!ReadEndRecord() || !ReadCentralDirectory()) return;
    CheckLocalRecords();
    CheckTiling();
    CheckValues();
    if (options_.decrypt) CheckData();
    report_.ok = report_.problems.empty();
  }

  ~Checker() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  void Problem(std::string text) {
    if (report_.problems.size() < kMaxProblems) {
      report_.problems.push_back(std::move(text));
    } else if (report_.problems.size() == kMaxProblems) {
      report_.problems.push_back("(further problems not listed)");
    }
  }

  bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    if (offset > report_.fileSize || size > report_.fileSize - offset) return false;
    while (size > 0) {
      const ssize_t n = pread(fd_, out, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      out += n;
      offset += static_cast<std::uint64_t>(n);
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  bool ReadEndRecord() {
    std::uint8_t end[orv::zip::kEndOfCentralDirSize];
    if (report_.fileSize < sizeof end) {
      Problem("the file is too short to hold an end-of-central-directory record");
      return false;
    }
    const std::uint64_t endOffset = report_.fileSize - sizeof end;
    if (!ReadAt(endOffset, end, sizeof end) || LoadLe32(end) != orv::zip::kEndOfCentralDirSignature) {
      Problem("the last 22 bytes are not an end-of-central-directory record (trailing data, a comment or damage)");
      return false;
    }
    report_.endRecordFound = true;
    const std::uint16_t disk = LoadLe16(end + 4), cdDisk = LoadLe16(end + 6);
    const std::uint16_t onDisk = LoadLe16(end + 8), total = LoadLe16(end + 10);
    report_.centralDirSize = LoadLe32(end + 12);
    report_.centralDirOffset = LoadLe32(end + 16);
    report_.entries = total;
    if (disk != 0 || cdDisk != 0) Problem("the end record names a disk other than 0");
    if (onDisk != total) Problem("the end record's two entry counts differ (" + std::to_string(onDisk) + " and " + std::to_string(total) + ")");
    if (LoadLe16(end + 20) != 0) Problem("the end record announces a comment, but the file ends with the record");
    const std::uint64_t cdEnd = std::uint64_t{report_.centralDirOffset} + report_.centralDirSize;
    if (cdEnd != endOffset) {
      Problem("the central directory [" + std::to_string(report_.centralDirOffset) + ", " + std::to_string(cdEnd) +
              ") does not end where the end record begins (" + std::to_string(endOffset) + ")");
      if (cdEnd > endOffset) return false;
    }
    return true;
  }

  bool ReadCentralDirectory() {
    std::vector<std::uint8_t> cd(report_.centralDirSize);
    if (!ReadAt(report_.centralDirOffset, cd.data(), cd.size())) {
      Problem("cannot read the central directory");
      return false;
    }
    std::size_t pos = 0;
    for (std::uint32_t i = 0; i < report_.entries; ++i) {
      const std::uint8_t* p = cd.data() + pos;
      if (cd.size() - pos < orv::zip::kCentralHeaderSize || LoadLe32(p) != orv::zip::kCentralHeaderSignature) {
        Problem("central header " + std::to_string(i + 1) + " of " + std::to_string(report_.entries) +
                " is missing or has no signature at offset " + std::to_string(report_.centralDirOffset + pos));
        return false;
      }
      CentralEntry e{};
      e.versionMadeBy = LoadLe16(p + 4);
      e.versionNeeded = LoadLe16(p + 6);
      e.flags = LoadLe16(p + 8);
      e.method = LoadLe16(p + 10);
      e.time = LoadLe16(p + 12);
      e.date = LoadLe16(p + 14);
      e.crc = LoadLe32(p + 16);
      e.compressedSize = LoadLe32(p + 20);
      e.uncompressedSize = LoadLe32(p + 24);
      const std::size_t nameSize = LoadLe16(p + 28), extraSize = LoadLe16(p + 30);
      e.commentSize = LoadLe16(p + 32);
      e.diskStart = LoadLe16(p + 34);
      e.internalAttributes = LoadLe16(p + 36);
      e.externalAttributes = LoadLe32(p + 38);
      e.localOffset = LoadLe32(p + 42);
      const std::size_t recordSize = orv::zip::kCentralHeaderSize + nameSize + extraSize + e.commentSize;
      if (cd.size() - pos < recordSize) {
        Problem("central header " + std::to_string(i + 1) + " runs past the end of the central directory");
        return false;
      }
      e.name.assign(reinterpret_cast<const char*>(p + orv::zip::kCentralHeaderSize), nameSize);
      e.extra.assign(p + orv::zip::kCentralHeaderSize + nameSize, p + orv::zip::kCentralHeaderSize + nameSize + extraSize);
      entries_.push_back(std::move(e));
      pos += recordSize;
    }
    if (pos != cd.size()) {
      Problem(std::to_string(cd.size() - pos) + " bytes of the central directory follow its last header");
    }
    report_.centralDirReadable = true;
    return true;
  }

  void CheckLocalRecords() {
    bool match = true;
    for (CentralEntry& e : entries_) {
      std::uint8_t h[orv::zip::kLocalHeaderSize];
      if (!ReadAt(e.localOffset, h, sizeof h) || LoadLe32(h) != orv::zip::kLocalHeaderSignature) {
        Problem("no local header at offset " + std::to_string(e.localOffset) + " for \"" + e.name + "\"");
        match = false;
        continue;
      }
      const std::size_t nameSize = LoadLe16(h + 26), extraSize = LoadLe16(h + 28);
      std::vector<std::uint8_t> tail(nameSize + extraSize);
      if (!ReadAt(e.localOffset + sizeof h, tail.data(), tail.size())) {
        Problem("the local header of \"" + e.name + "\" runs past the end of the file");
        match = false;
        continue;
      }
      const std::string name(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(nameSize));
      const std::vector<std::uint8_t> extra(tail.begin() + static_cast<std::ptrdiff_t>(nameSize), tail.end());
      std::string differs;
      const auto compare = [&](const char* field, std::uint64_t local, std::uint64_t central) {
        if (local != central) differs += std::string(differs.empty() ? "" : ", ") + field;
      };
      compare("version needed", LoadLe16(h + 4), e.versionNeeded);
      compare("flags", LoadLe16(h + 6), e.flags);
      compare("method", LoadLe16(h + 8), e.method);
      compare("time", LoadLe16(h + 10), e.time);
      compare("date", LoadLe16(h + 12), e.date);
      compare("CRC-32", LoadLe32(h + 14), e.crc);
      compare("compressed size", LoadLe32(h + 18), e.compressedSize);
      compare("uncompressed size", LoadLe32(h + 22), e.uncompressedSize);
      if (name != e.name) differs += std::string(differs.empty() ? "" : ", ") + "name";
      if (extra != e.extra) differs += std::string(differs.empty() ? "" : ", ") + "extra field";
      if (!differs.empty()) {
        Problem("the local header of \"" + e.name + "\" differs from its central header in " + differs);
        match = false;
      }
      e.localRead = true;
      e.dataOffset = e.localOffset + sizeof h + tail.size();
      e.end = e.dataOffset + e.compressedSize;
      if (e.flags & orv::zip::kFlagDataDescriptor) {
        std::uint8_t d[orv::zip::kDataDescriptorSize];
        if (!ReadAt(e.end, d, sizeof d) || LoadLe32(d) != orv::zip::kDataDescriptorSignature) {
          Problem("no data descriptor after the data of \"" + e.name + "\" (offset " + std::to_string(e.end) + ")");
          match = false;
        } else if (LoadLe32(d + 4) != e.crc || LoadLe32(d + 8) != e.compressedSize ||
                   LoadLe32(d + 12) != e.uncompressedSize) {
          Problem("the data descriptor of \"" + e.name + "\" differs from its headers");
          match = false;
        }
        e.end += sizeof d;
      }
    }
    report_.headersMatch = match;
  }

  void CheckTiling() {
    std::vector<const CentralEntry*> order;
    for (const CentralEntry& e : entries_) {
      if (!e.localRead) return Problem("the records cannot be tiled: a local header is unreadable");
      order.push_back(&e);
    }
    const auto byOffset = [](const CentralEntry* a, const CentralEntry* b) { return a->localOffset < b->localOffset; };
    bool tiles = true;
    if (!std::is_sorted(order.begin(), order.end(), byOffset)) {
      Problem("the entries are not stored in the order of the central directory");
    }
    std::sort(order.begin(), order.end(), byOffset);
    std::uint64_t expected = 0;
    for (const CentralEntry* e : order) {
      if (e->localOffset != expected) {
        Problem(std::string(e->localOffset > expected ? "a gap" : "an overlap") + " between offset " +
                std::to_string(std::min<std::uint64_t>(expected, e->localOffset)) + " and " +
                std::to_string(std::max<std::uint64_t>(expected, e->localOffset)) + ", before \"" + e->name + "\"");
        tiles = false;
      }
      expected = e->end;
    }
    if (expected != report_.centralDirOffset) {
      Problem(std::string(expected < report_.centralDirOffset ? "a gap" : "an overlap") +
              " between the last record's end (" + std::to_string(expected) +
              ") and the central directory (" + std::to_string(report_.centralDirOffset) + ")");
      tiles = false;
    }
    report_.tiles = tiles;
  }

  void CheckValues() {
    const auto aes = AesExtraField();
    const std::vector<std::uint8_t> expectedExtra(aes.begin(), aes.end());
    bool fine = true;
    for (const CentralEntry& e : entries_) {
      std::string wrong;
      const auto expect = [&](const char* field, bool good) {
        if (!good) wrong += std::string(wrong.empty() ? "" : ", ") + field;
      };
      expect("version made by", e.versionMadeBy == orv::zip::kVersion51);
      expect("version needed", e.versionNeeded == orv::zip::kVersion51);
      expect("flags", e.flags == kEntryFlags);
      expect("method", e.method == orv::zip::kMethodWzAes);
      expect("CRC-32", e.crc == 0);
      expect("AES extra field", e.extra == expectedExtra);
      expect("comment", e.commentSize == 0);
      expect("disk", e.diskStart == 0);
      expect("internal attributes", e.internalAttributes == 0);
      expect("external attributes", e.externalAttributes == orv::zip::kAttributeArchive);
      expect("compressed size", e.compressedSize >= 20);
      const std::string nameProblem = CheckEntryName(e.name);
      expect("name", nameProblem.empty());
      if (!wrong.empty()) {
        Problem("\"" + e.name + "\" has unexpected values in: " + wrong);
        fine = false;
      }
    }
    // Names that are each safe can still meet on Windows: the same name twice, two spellings
    // of one name, or a file where another entry needs a folder.
    std::vector<std::string> names;
    names.reserve(entries_.size());
    for (const CentralEntry& e : entries_) names.push_back(e.name);
    if (std::string clash = FindNameClash(names); !clash.empty()) {
      Problem(std::move(clash));
      fine = false;
    }
    report_.valuesAsExpected = fine;
  }

  void CheckData() {
    bool fine = true;
    for (const CentralEntry& e : entries_) {
      if (!e.localRead || e.compressedSize < 20 || e.method != orv::zip::kMethodWzAes) {
        fine = false;
        continue;
      }
      if (!CheckEntryData(e)) fine = false;
    }
    report_.decrypted = fine;
  }

  bool CheckEntryData(const CentralEntry& e) {
    constexpr std::size_t kSalt = 8, kVerifier = orv::crypto::kWzAesVerifierSize;
    std::uint8_t lead[kSalt + kVerifier], verifier[kVerifier];
    if (!ReadAt(e.dataOffset, lead, sizeof lead)) return Fail("cannot read the salt of \"" + e.name + "\"");
    orv::crypto::WzAesCipher cipher;
    cipher.Init(kAesStrength, reinterpret_cast<const std::uint8_t*>(options_.password.data()),
                options_.password.size(), lead, verifier);
    if (std::memcmp(verifier, lead + kSalt, kVerifier) != 0) {
      return Fail("the password verifier of \"" + e.name + "\" does not match: wrong password");
    }
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return Fail("cannot set up inflate");
    std::vector<std::uint8_t> in(256 * 1024), out(256 * 1024);
    std::uint64_t left = e.compressedSize - sizeof lead - orv::crypto::kWzAesMacSize;
    std::uint64_t offset = e.dataOffset + sizeof lead, produced = 0;
    int result = Z_OK;
    while (left > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size()));
      if (!ReadAt(offset, in.data(), n)) {
        inflateEnd(&z);
        return Fail("cannot read the data of \"" + e.name + "\"");
      }
      cipher.Decrypt(in.data(), n);
      offset += n;
      left -= n;
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(n);
      while ((z.avail_in > 0 || z.avail_out == 0) && result == Z_OK) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        result = inflate(&z, Z_NO_FLUSH);
        produced += out.size() - z.avail_out;
        if (result == Z_BUF_ERROR) result = Z_OK;
      }
    }
    const bool streamEnded = result == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    std::uint8_t mac[orv::crypto::kWzAesMacSize];
    if (!ReadAt(offset, mac, sizeof mac)) return Fail("cannot read the authentication code of \"" + e.name + "\"");
    if (!cipher.CheckMac(mac)) return Fail("the authentication code of \"" + e.name + "\" does not match: the data is damaged");
    if (!streamEnded) return Fail("the deflate stream of \"" + e.name + "\" is damaged or does not end with the data");
    if (produced != e.uncompressedSize) {
      return Fail("\"" + e.name + "\" inflates to " + std::to_string(produced) + " bytes, not " +
                  std::to_string(e.uncompressedSize));
    }
    return true;
  }

  bool Fail(std::string text) {
    Problem(std::move(text));
    return false;
  }

  const std::string& path_;
  const VerifyOptions& options_;
  VerifyReport& report_;
  int fd_ = -1;
  std::vector<CentralEntry> entries_;
};

}  // namespace

VerifyReport VerifyArchive(const std::string& path, const VerifyOptions& options) {
  VerifyReport report;
  Checker checker(path, options, report);
  checker.Run();
  return report;
}

}  // namespace ot::mkdistro
