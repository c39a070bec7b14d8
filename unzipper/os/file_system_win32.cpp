// Win32 file system for the archiver. Paths are passed to the wide-character calls as they
// are. Each file object owns its handle and closes it when destroyed.
#include <windows.h>

#include <climits>

#include "os/file_system.h"

namespace orv {

namespace {

class Win32InputFile final : public InputFile {
 public:
  explicit Win32InputFile(HANDLE handle) : handle_(handle) {}
  ~Win32InputFile() override { ::CloseHandle(handle_); }
  Win32InputFile(const Win32InputFile&) = delete;
  Win32InputFile& operator=(const Win32InputFile&) = delete;

  bool Size(std::uint64_t& size) override {
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(handle_, &value)) return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }
  bool Seek(std::uint64_t offset) override {
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low = ::SetFilePointer(handle_, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR);
  }
  bool Read(void* buffer, std::size_t size, std::size_t& got) override {
    got = 0;
    auto* out = static_cast<BYTE*>(buffer);
    while (got < size) {
      const DWORD want = static_cast<DWORD>(size - got > 0x40000000 ? 0x40000000 : size - got);
      DWORD n = 0;
      if (!::ReadFile(handle_, out + got, want, &n, nullptr)) return false;
      if (n == 0) break;
      got += n;
    }
    return true;
  }

 private:
  HANDLE handle_;
};

class Win32OutputFile final : public OutputFile {
 public:
  explicit Win32OutputFile(HANDLE handle) : handle_(handle) {}
  ~Win32OutputFile() override { Close(); }
  Win32OutputFile(const Win32OutputFile&) = delete;
  Win32OutputFile& operator=(const Win32OutputFile&) = delete;

  bool Write(const void* data, std::size_t size) override {
    const auto* in = static_cast<const BYTE*>(data);
    while (size > 0) {
      const DWORD want = static_cast<DWORD>(size > 0x40000000 ? 0x40000000 : size);
      DWORD n = 0;
      if (handle_ == INVALID_HANDLE_VALUE || !::WriteFile(handle_, in, want, &n, nullptr) || n == 0) {
        return false;
      }
      in += n;
      size -= n;
    }
    return true;
  }
  bool SetLastWriteTime(std::uint16_t dosDate, std::uint16_t dosTime) override {
    FILETIME local, utc;
    return handle_ != INVALID_HANDLE_VALUE && ::DosDateTimeToFileTime(dosDate, dosTime, &local) &&
           ::LocalFileTimeToFileTime(&local, &utc) && ::SetFileTime(handle_, nullptr, nullptr, &utc);
  }
  bool Flush() override { return handle_ != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle_); }
  bool Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    const bool ok = ::CloseHandle(handle_) != FALSE;
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE handle_;
};

// "C:\dir\file" -> "C:\", "\\server\share\dir" -> "\\server\share\"; empty for a relative
// path, which GetDriveTypeW then takes as the current drive.
std::wstring DriveRoot(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2) + L"\\";
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
    const auto server = path.find(L'\\', 2);
    if (server == std::wstring::npos) return std::wstring();
    const auto share = path.find(L'\\', server + 1);
    return (share == std::wstring::npos ? path : path.substr(0, share)) + L"\\";
  }
  return std::wstring();
}

class Win32FileSystem final : public FileSystem {
 public:
  std::unique_ptr<InputFile> OpenForReading(const std::wstring& path) override {
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32InputFile>(handle);
  }
  std::unique_ptr<OutputFile> CreateForWriting(const std::wstring& path) override {
    const HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32OutputFile>(handle);
  }
  std::uint32_t GetAttributes(const std::wstring& path) override {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ? kNoAttributes : attributes;
  }
  bool SetAttributes(const std::wstring& path, std::uint32_t attributes) override {
    return ::SetFileAttributesW(path.c_str(), attributes) != FALSE;
  }
  bool RemoveFile(const std::wstring& path) override { return ::DeleteFileW(path.c_str()) != FALSE; }
  bool RemoveEmptyDirectory(const std::wstring& path) override { return ::RemoveDirectoryW(path.c_str()) != FALSE; }
  bool MakeDirectory(const std::wstring& path) override {
    return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE;
  }
  // Asked for every extracted file, whose paths all share one root: the answer for the last
  // root is kept (under Wine each query opens and closes the root through the server).
  bool IsRemovableDrive(const std::wstring& path) override {
    const std::wstring root = DriveRoot(path);
    if (!driveKnown_ || root != driveRoot_) {
      driveRemovable_ = ::GetDriveTypeW(root.empty() ? nullptr : root.c_str()) == DRIVE_REMOVABLE;
      driveRoot_ = root;
      driveKnown_ = true;
    }
    return driveRemovable_;
  }
  std::wstring CurrentDirectory() override {
    const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return std::wstring();
    std::wstring text(size, L'\0');
    const DWORD length = ::GetCurrentDirectoryW(size, text.data());
    if (length == 0 || length >= size) return std::wstring();
    text.resize(length);
    return text;
  }
  std::wstring NarrowToWide(std::string_view text, NarrowCodePage codePage) override {
    if (text.empty() || text.size() > INT_MAX) return std::wstring();
    // At most one UTF-16 unit per byte. The OEM page is converted straight to UTF-16, like
    // the wide form of OemToChar: characters the ANSI page lacks keep their identity, and
    // double-byte OEM pages are decoded correctly.
    std::wstring wide(text.size(), L'\0');
    const UINT page = codePage == NarrowCodePage::kOem ? CP_OEMCP : CP_ACP;
    const int length = ::MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()),
                                             wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return wide;
  }

 private:
  std::wstring driveRoot_;
  bool driveKnown_ = false;
  bool driveRemovable_ = false;
};

}  // namespace

std::unique_ptr<FileSystem> CreatePlatformFileSystem() { return std::make_unique<Win32FileSystem>(); }

}  // namespace orv
