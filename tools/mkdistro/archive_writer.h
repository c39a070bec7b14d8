// Writes the distribution archive: for every file a local header, the WinZip AES (AE-2,
// AES-128) encrypted raw deflate stream and a data descriptor, then the central directory and
// the end record.
//
// Entries are encoded (read whole, deflated with libdeflate, salted, encrypted, authenticated)
// on several threads, largest files first so that the largest does not end the run alone, and
// written by the calling thread in archive order. Each entry's bytes depend only on its file,
// its name, the level and the password, never on the thread that encoded it or on the number
// of threads, and salts are derived rather than drawn (entry_salt.h): the same inputs give the
// same archive. Entries encoded ahead of their turn are bounded by a memory budget: beyond it a
// thread takes only the entry the writer needs next (a file larger than the budget is taken
// when nothing else is in flight or when its turn comes).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "payload_scan.h"

namespace ot::mkdistro {

// Every entry's values that do not depend on the file.
constexpr std::uint16_t kEntryFlags = 0x0809;    // encrypted, data descriptor, UTF-8 name
constexpr unsigned kAesStrength = 1;             // AES-128
constexpr std::uint16_t kAesVendorVersion = 2;   // AE-2: no CRC-32, the MAC protects the data
constexpr std::size_t kAesExtraFieldSize = 11;

// The WinZip AES extra field every header carries: 0x9901, 7, AE-2, "AE", AES-128, deflate.
std::array<std::uint8_t, kAesExtraFieldSize> AesExtraField();

// Where the archive's bytes go. Write appends; WriteAt overwrites bytes already written.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void Write(const std::uint8_t* data, std::size_t size) = 0;
  virtual void WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) = 0;
  virtual std::uint64_t Position() const = 0;
};

class MemorySink : public OutputSink {
 public:
  void Write(const std::uint8_t* data, std::size_t size) override;
  void WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override;
  std::uint64_t Position() const override { return bytes_.size(); }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// libdeflate's levels: 0 stores, 12 searches hardest (its near-optimal parser).
constexpr int kMaxLevel = 12;
constexpr int kDefaultLevel = kMaxLevel;

struct WriteOptions {
  std::string password;          // the bytes the keys are derived from
  int level = kDefaultLevel;     // deflate level, 0 to kMaxLevel
  unsigned threads = 0;          // encoding threads; 0: one per processor the process may use
  bool universalTime = false;    // DOS times in UTC instead of the local zone
  // Called on the calling thread now and then while the archive is written (at least once per
  // entry and about five times a second while it waits), with the payload bytes encoded so far,
  // the entries written and the name of the entry that is written next (empty at the end).
  // What it throws ends the build.
  std::function<void(std::uint64_t bytesDone, std::size_t filesDone, const std::string& current)> progress;
};

struct ArchiveLayout {
  std::size_t entries = 0;
  std::uint64_t centralDirOffset = 0;
  std::uint64_t centralDirSize = 0;
  std::uint64_t archiveSize = 0;
};

// Writes files, in the given order, as the complete archive. Throws DistroError when a file
// cannot be read or changes while it is read, when an offset or size would not fit the 32-bit
// fields, and for anything the sink or the progress callback throws; of several files that
// fail, the first in archive order is the one reported.
ArchiveLayout WriteArchive(const std::vector<PayloadFile>& files, OutputSink& sink,
                           const WriteOptions& options);

}  // namespace ot::mkdistro
