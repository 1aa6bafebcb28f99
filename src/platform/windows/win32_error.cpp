#include "platform/windows/win32_error.h"

#include <errno.h>
#include <windows.h>

namespace ledgerly::platform::windows {

int errno_of(unsigned long code) noexcept {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_DELETE_PENDING: return EACCES;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT: return ENOMEM;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK: return EINVAL;
    case ERROR_NO_UNICODE_TRANSLATION: return EILSEQ;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    case ERROR_BROKEN_PIPE: return EPIPE;
    default: return EIO;
  }
}

int last_errno() noexcept { return errno_of(GetLastError()); }

}  // namespace ledgerly::platform::windows
