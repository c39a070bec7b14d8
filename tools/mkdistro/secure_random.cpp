#include "secure_random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "distro_error.h"

namespace ot::mkdistro {
namespace {

void FillFromDevice(std::uint8_t* out, std::size_t size) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw DistroError(std::string("no random source: /dev/urandom: ") + std::strerror(errno));
  while (size > 0) {
    const ssize_t n = read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      throw DistroError("cannot read /dev/urandom");
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  close(fd);
}

}  // namespace

void FillSecureRandom(std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return FillFromDevice(out, size);
      throw DistroError(std::string("getrandom failed: ") + std::strerror(errno));
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace ot::mkdistro
