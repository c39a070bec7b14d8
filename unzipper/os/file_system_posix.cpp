// POSIX file system for the archiver on the build host. Windows paths become POSIX ones by
// turning '\' into '/' and the text into UTF-8. Of the Windows attributes only what POSIX can
// hold is kept: directory, and read-only as the absence of write permission.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <mutex>

#include "os/file_system.h"
#include "zip/name_text.h"

namespace orv {

namespace {

constexpr std::uint32_t kAttributeReadOnly = 0x01;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeArchive = 0x20;

std::string ToNativePath(const std::wstring& path) {
  std::string native = zip::WideToUtf8(path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

// Retries reads and writes cut short by a signal.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(int fd) : fd_(fd) {}
  ~PosixInputFile() override { ::close(fd_); }

  bool Size(std::uint64_t& size) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  bool Seek(std::uint64_t offset) override {
    return offset <= static_cast<std::uint64_t>(LLONG_MAX) &&
           ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
  }
  bool Read(void* buffer, std::size_t size, std::size_t& got) override {
    got = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (got < size) {
      const ssize_t n = ::read(fd_, out + got, size - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  ~PosixOutputFile() override { Close(); }

  bool Write(const void* data, std::size_t size) override {
    return fd_ >= 0 && WriteAll(fd_, static_cast<const std::uint8_t*>(data), size);
  }
  bool SetLastWriteTime(std::uint16_t dosDate, std::uint16_t dosTime) override {
    struct tm local {};
    local.tm_year = ((dosDate >> 9) & 0x7F) + 80;
    local.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
    local.tm_mday = dosDate & 0x1F;
    local.tm_hour = (dosTime >> 11) & 0x1F;
    local.tm_min = (dosTime >> 5) & 0x3F;
    local.tm_sec = (dosTime & 0x1F) * 2;
    local.tm_isdst = -1;  // the DOS time is local time, with whatever daylight saving applies
    if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday == 0 || local.tm_hour > 23 ||
        local.tm_min > 59 || local.tm_sec > 59) {
      return false;
    }
    time_t when;
    {
      // mktime reads and may reload the time zone; glibc's own lock for that is invisible to
      // ThreadSanitizer, so decoding threads setting file times at once take turns here.
      static std::mutex timeZoneLock;
      const std::lock_guard<std::mutex> lock(timeZoneLock);
      when = ::mktime(&local);
    }
    if (when == static_cast<time_t>(-1)) return false;
    struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    return fd_ >= 0 && ::futimens(fd_, times) == 0;
  }
  bool Flush() override { return fd_ >= 0 && ::fsync(fd_) == 0; }
  bool Close() override {
    if (fd_ < 0) return true;
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<InputFile> OpenForReading(const std::wstring& path) override {
    const int fd = ::open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixInputFile>(fd);
  }
  std::unique_ptr<OutputFile> CreateForWriting(const std::wstring& path) override {
    const int fd = ::open(ToNativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixOutputFile>(fd);
  }
  std::uint32_t GetAttributes(const std::wstring& path) override {
    struct stat st {};
    if (::stat(ToNativePath(path).c_str(), &st) != 0) return kNoAttributes;
    std::uint32_t attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeArchive;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= kAttributeReadOnly;
    return attributes;
  }
  bool SetAttributes(const std::wstring& path, std::uint32_t attributes) override {
    const std::string native = ToNativePath(path);
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) return false;
    const mode_t current = st.st_mode & 07777;
    mode_t mode = current;
    if (attributes & kAttributeReadOnly) {
      mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    } else {
      mode |= S_IWUSR;
    }
    // A freshly written file usually has the mode already: no change, no call.
    return mode == current || ::chmod(native.c_str(), mode) == 0;
  }
  bool RemoveFile(const std::wstring& path) override { return ::unlink(ToNativePath(path).c_str()) == 0; }
  bool RemoveEmptyDirectory(const std::wstring& path) override { return ::rmdir(ToNativePath(path).c_str()) == 0; }
  bool MakeDirectory(const std::wstring& path) override {
    return ::mkdir(ToNativePath(path).c_str(), 0777) == 0;
  }
  bool IsRemovableDrive(const std::wstring&) override { return false; }
  std::wstring CurrentDirectory() override {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return std::wstring();
    return zip::Utf8ToWide(buffer);
  }
  std::wstring NarrowToWide(std::string_view text, NarrowCodePage) override {
    // No system OEM or ANSI code page here: the PC's original one stands for both.
    return zip::Cp437ToWide(text);
  }
};

}  // namespace

std::unique_ptr<FileSystem> CreatePlatformFileSystem() { return std::make_unique<PosixFileSystem>(); }

}  // namespace orv
