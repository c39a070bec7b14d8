#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "distro_error.h"

namespace ot::mkdistro {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;

// The temporary file a signal handler must remove; one archive is built at a time.
char gPendingPath[PATH_MAX];
volatile sig_atomic_t gPending = 0;

extern "C" void RemovePendingAndReraise(int signal) {
  if (gPending) unlink(gPendingPath);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void InstallCleanupHandlers(const std::string& path) {
  if (path.size() >= sizeof gPendingPath) return;
  std::memcpy(gPendingPath, path.c_str(), path.size() + 1);
  gPending = 1;
  struct sigaction action {};
  action.sa_handler = RemovePendingAndReraise;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

void ClearCleanupHandlers() {
  gPending = 0;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ErrorText(const std::string& what, const std::string& path) {
  return what + " \"" + path + "\": " + std::strerror(errno);
}

}  // namespace

AtomicOutputFile::AtomicOutputFile(const std::string& finalPath) : finalPath_(finalPath) {
  // A signal that arrives between creating the file and registering it for removal would
  // leave it behind: hold those signals back until both are done.
  sigset_t ending, previous;
  sigemptyset(&ending);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, s);
  sigprocmask(SIG_BLOCK, &ending, &previous);
  std::string pattern = finalPath + ".tmp-XXXXXX";
  fd_ = mkstemp(pattern.data());
  const int error = errno;
  if (fd_ >= 0) {
    tempPath_ = pattern;
    InstallCleanupHandlers(tempPath_);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  if (fd_ < 0) throw DistroError(ErrorText("cannot create a temporary file next to", finalPath));
  buffer_.reserve(kBufferSize);
}

AtomicOutputFile::~AtomicOutputFile() { Discard(); }

void AtomicOutputFile::Discard() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    unlink(tempPath_.c_str());
    tempPath_.clear();
    ClearCleanupHandlers();
  }
}

void AtomicOutputFile::Write(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    if (buffer_.size() == kBufferSize) Flush();
    const std::size_t n = std::min(size, kBufferSize - buffer_.size());
    buffer_.insert(buffer_.end(), data, data + n);
    data += n;
    size -= n;
  }
}

void AtomicOutputFile::Flush() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw DistroError(ErrorText("cannot write", tempPath_));
    done += static_cast<std::size_t>(n);
  }
  flushed_ += buffer_.size();
  buffer_.clear();
}

void AtomicOutputFile::WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  if (offset > Position() || size > Position() - offset) throw DistroError("write past the end of the archive");
  Flush();
  while (size > 0) {
    const ssize_t n = pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw DistroError(ErrorText("cannot write", tempPath_));
    data += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}

void AtomicOutputFile::Commit() {
  Flush();
  // mkstemp makes the file private to its owner; an archive gets what a new file would get.
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd_, 0666 & ~mask) != 0) throw DistroError(ErrorText("cannot set the permissions of", tempPath_));
  if (fsync(fd_) != 0) throw DistroError(ErrorText("cannot flush", tempPath_));
  if (close(fd_) != 0) {
    fd_ = -1;
    throw DistroError(ErrorText("cannot close", tempPath_));
  }
  fd_ = -1;
  if (rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    throw DistroError(ErrorText("cannot write the archive", finalPath_));
  }
  tempPath_.clear();
  ClearCleanupHandlers();
  // Make the rename itself durable.
  const int dir = open(DirectoryOf(finalPath_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
}

}  // namespace ot::mkdistro
