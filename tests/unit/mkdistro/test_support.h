// Helpers of the archive builder's tests: scratch directories, files, running programs, and an
// independent reader of the raw ZIP records, so that the builder is checked against bytes and
// not against its own inspector.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ot::mkdistro::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Creates parent directories as needed.
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
std::vector<std::uint8_t> ReadBytes(const std::string& path);
bool Exists(const std::string& path);
// Names in a directory, "." and ".." left out.
std::vector<std::string> ListDir(const std::string& dir);
// Relative paths of every regular file under root, sorted.
std::vector<std::string> ListFilesRecursively(const std::string& root);

struct CommandResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string output;  // stdout and stderr together
};
// Runs a shell command line.
CommandResult RunCommand(const std::string& commandLine);
std::string ShellQuote(const std::string& text);

struct RawLocal {
  std::uint32_t signature;
  std::uint16_t versionNeeded, flags, method, time, date;
  std::uint32_t crc, compressedSize, uncompressedSize;
  std::string name;
  std::vector<std::uint8_t> extra;
  std::uint64_t dataOffset;
};

struct RawCentral {
  std::uint16_t versionMadeBy, versionNeeded, flags, method, time, date;
  std::uint32_t crc, compressedSize, uncompressedSize;
  std::uint16_t commentSize, diskStart, internalAttributes;
  std::uint32_t externalAttributes, localOffset;
  std::string name;
  std::vector<std::uint8_t> extra;
};

struct RawEnd {
  std::uint16_t disk, centralDisk, entriesOnDisk, entries, commentSize;
  std::uint32_t centralSize, centralOffset;
};

// Reads the end record from the last 22 bytes and walks the central directory; each local
// header is read at the offset its central header gives. Fails the current test (ADD_FAILURE)
// on records that cannot be read.
struct RawArchive {
  RawEnd end{};
  std::vector<RawCentral> central;
  std::vector<RawLocal> local;  // in central-directory order
};
RawArchive ParseArchive(const std::vector<std::uint8_t>& bytes);

}  // namespace ot::mkdistro::testing
