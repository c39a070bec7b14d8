// The file operations the archiver needs, and no more. The archiver speaks Windows paths
// ('\' separators, a drive or UNC prefix); the Win32 implementation passes them through, the
// POSIX one turns '\' into '/' and the text into UTF-8, so the same archiver code runs on both.
//
// Files are objects that own their OS handle and close it when destroyed. Data moves in whole
// blocks: there is one virtual call per block, never per byte.
//
// The archiver calls a file system from its decoding and closing threads at once (never two
// threads on one file object): implementations must allow that. The platform ones do, each
// call being a system call on its own objects.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace orv {

// An archive opened for reading, shared for reading with other processes.
class InputFile {
 public:
  virtual ~InputFile() = default;
  virtual bool Size(std::uint64_t& size) = 0;
  virtual bool Seek(std::uint64_t offset) = 0;
  // Reads up to size bytes; got < size only at the end of the file. False on an I/O error.
  virtual bool Read(void* buffer, std::size_t size, std::size_t& got) = 0;
};

// An output file created for exclusive writing.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes all size bytes or returns false (a full disk, an I/O error).
  virtual bool Write(const void* data, std::size_t size) = 0;
  // The DOS date and time are local time. False when they are no valid date or the call fails.
  virtual bool SetLastWriteTime(std::uint16_t dosDate, std::uint16_t dosTime) = 0;
  virtual bool Flush() = 0;
  // Closes the handle; false when the system reports an error on close. Idempotent.
  virtual bool Close() = 0;
  // Memory of size bytes for a writer to fill and then pass to Write, which then need not copy
  // it; null (here) when the output has none to lend.
  virtual std::uint8_t* LendBlock(std::size_t /*size*/) { return nullptr; }
};

enum class NarrowCodePage { kOem, kAnsi };

class FileSystem {
 public:
  static constexpr std::uint32_t kNoAttributes = 0xFFFFFFFF;  // nothing exists at the path

  virtual ~FileSystem() = default;

  virtual std::unique_ptr<InputFile> OpenForReading(const std::wstring& path) = 0;
  // Replaces any file of that name. Null when the file cannot be created.
  virtual std::unique_ptr<OutputFile> CreateForWriting(const std::wstring& path) = 0;

  // Windows file attributes (0x10 for a directory), or kNoAttributes.
  virtual std::uint32_t GetAttributes(const std::wstring& path) = 0;
  virtual bool SetAttributes(const std::wstring& path, std::uint32_t attributes) = 0;
  virtual bool RemoveFile(const std::wstring& path) = 0;
  // One level: the parent must exist.
  virtual bool MakeDirectory(const std::wstring& path) = 0;
  // An empty directory only.
  virtual bool RemoveEmptyDirectory(const std::wstring& path) = 0;

  // True when the path lies on a drive the system reports as removable.
  virtual bool IsRemovableDrive(const std::wstring& path) = 0;
  virtual std::wstring CurrentDirectory() = 0;
  // 8-bit text in the system's OEM or ANSI code page, as UTF-16 (UTF-32 where wchar_t is).
  virtual std::wstring NarrowToWide(std::string_view text, NarrowCodePage codePage) = 0;
};

// The implementation for the platform being built (Win32 or POSIX).
std::unique_ptr<FileSystem> CreatePlatformFileSystem();

}  // namespace orv
