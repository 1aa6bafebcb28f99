// Random bytes on POSIX systems: getrandom(2) where Linux has it, else (or
// when the kernel or a sandbox refuses it) the /dev/urandom device.
#include "platform/random.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/config.h"

#if LEDGERLY_HAVE_GETRANDOM
#include <sys/random.h>
#endif

namespace ledgerly::platform {

bool random_bytes(void* out, std::size_t n) noexcept {
  auto* p = static_cast<unsigned char*>(out);
  std::size_t got = 0;
#if LEDGERLY_HAVE_GETRANDOM
  while (got < n) {
    const ssize_t r = getrandom(p + got, n - got, 0);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // ENOSYS on old kernels, or a seccomp filter: try the device
    }
  }
  if (got == n) return true;
#endif

  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(fd);
  return got == n;
}

}  // namespace ledgerly::platform
