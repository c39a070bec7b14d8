// An in-memory file system that resolves paths the way Win32 does, for running the archiver
// without a disk (fuzz targets) and for hostile-archive tests that need Windows' rules on a
// Linux host:
//  - '\' and '/' separate components; "." is dropped and ".." climbs (never above the root);
//  - a component made only of dots and blanks with two or more dots counts as ".." (the
//    pessimistic reading of Windows' trimming), trailing dots and blanks are trimmed;
//  - letter case does not count (ASCII and Latin-1 letters);
//  - a component naming a DOS device (CON, PRN, AUX, NUL, COM1-9, LPT1-9, and COM/LPT with
//    the superscript digits 1-3, with any extension) reaches that device, not a file;
//  - a ':' after the drive names an alternate data stream; "\\..." is a UNC or device path.
//
// Every operation takes one lock, so that the archiver's threads may call it at once.
//
// Every operation that changes something (creating, writing, deleting, changing attributes)
// is checked against the confinement directory: files only strictly inside it, directories
// inside it or on the way to it. A change that would land anywhere else, on a device or in a
// stream is refused and recorded as a violation, so a test or a fuzz target can fail on it.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "os/file_system.h"

namespace orv::test {

class WindowsMemoryFileSystem final : public FileSystem {
 public:
  struct Node {
    bool directory = false;
    std::wstring path;  // as it was spelled when created
    std::uint32_t attributes = 0;
    std::string data;   // the first keepBytes bytes
    std::uint64_t size = 0;
    bool timeSet = false;
    std::uint16_t dosDate = 0;
    std::uint16_t dosTime = 0;
    int openWriters = 0;
  };

  // currentDirectory: a full path "X:\...", created with its parents.
  explicit WindowsMemoryFileSystem(const std::wstring& currentDirectory = L"C:\\");
  ~WindowsMemoryFileSystem() override;

  // Set-up, not subject to the confinement.
  void AddDirectory(const std::wstring& path);  // with every missing parent
  void AddFile(const std::wstring& path, std::string data, std::uint32_t attributes = 0x20);

  void Confine(const std::wstring& directory);
  const std::vector<std::wstring>& violations() const { return violations_; }

  // Bytes of file data kept per file (sizes are always counted), and the room on the disk:
  // a write that does not fit fails; a file removed or emptied gives its bytes back.
  std::size_t keepBytes = SIZE_MAX;
  std::uint64_t freeSpace = UINT64_MAX;
  // Drive letters (upper case) that report as removable.
  std::wstring removableDrives;

  // Inspection. Find resolves the path as the operations do; null when nothing is there.
  const Node* Find(const std::wstring& path) const;
  // The resolved, case-folded identity of a path ("C:\DIR\FILE.TXT"), or empty when the path
  // is no plain file-system path (device, stream, UNC, invalid).
  std::wstring KeyOf(const std::wstring& path) const;
  // Every node, by key, in key order.
  const std::map<std::wstring, Node>& nodes() const { return nodes_; }
  int openInputs() const { return openInputs_; }
  int openOutputs() const { return openOutputs_; }
  std::uint64_t bytesWritten() const { return bytesWritten_; }
  std::size_t flushes() const { return flushes_; }

  // FileSystem
  std::unique_ptr<InputFile> OpenForReading(const std::wstring& path) override;
  std::unique_ptr<OutputFile> CreateForWriting(const std::wstring& path) override;
  std::uint32_t GetAttributes(const std::wstring& path) override;
  bool SetAttributes(const std::wstring& path, std::uint32_t attributes) override;
  bool RemoveFile(const std::wstring& path) override;
  bool MakeDirectory(const std::wstring& path) override;
  bool RemoveEmptyDirectory(const std::wstring& path) override;
  bool IsRemovableDrive(const std::wstring& path) override;
  std::wstring CurrentDirectory() override { return currentDirectory_; }
  std::wstring NarrowToWide(std::string_view text, NarrowCodePage codePage) override;

 private:
  class Input;
  class Output;
  friend class Input;
  friend class Output;

  enum class PathKind { kPlain, kDevice, kStream, kUnc, kDriveRelative, kInvalid };
  struct Resolved {
    PathKind kind = PathKind::kPlain;
    std::vector<std::wstring> components;  // folded; the first is the drive, "C:"
    std::wstring key;
  };

  Resolved Resolve(const std::wstring& path) const;
  // False (and a recorded violation) when a change at this path is not allowed.
  bool MayChange(const std::wstring& operation, const std::wstring& path, const Resolved& where,
                 bool directory);
  Node* Parent(const Resolved& where);
  void GiveBack(std::uint64_t bytes) { freeSpace = bytes > UINT64_MAX - freeSpace ? UINT64_MAX : freeSpace + bytes; }

  mutable std::recursive_mutex mutex_;
  std::wstring currentDirectory_;
  std::map<std::wstring, Node> nodes_;
  std::vector<std::wstring> confinement_;  // folded components of the confinement directory
  bool confined_ = false;
  std::vector<std::wstring> violations_;
  int openInputs_ = 0;
  int openOutputs_ = 0;
  std::uint64_t bytesWritten_ = 0;
  std::size_t flushes_ = 0;
};

}  // namespace orv::test
