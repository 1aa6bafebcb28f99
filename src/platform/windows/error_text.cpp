// Error texts on Windows.  The C runtime's messages are English whatever
// the locale, but some are worded differently from the POSIX C libraries
// ("Filename too long", "Resource deadlock avoided", ...): the common
// numbers read here as the GNU C library words them, so that a report says
// the same on every system.  The numbers themselves are the runtime's
// (ENOENT, EACCES, EISDIR, EINVAL, EIO and the other classic ones have the
// same values as on Linux; ENAMETOOLONG is 38 and ELOOP 114 here).
#include "platform/error_text.h"

#include <errno.h>
#include <string.h>

namespace ledgerly::platform {
namespace {

struct Message {
  int code;
  const char* text;
};

constexpr Message kMessages[] = {
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {ESRCH, "No such process"},
    {EINTR, "Interrupted system call"},
    {EIO, "Input/output error"},
    {ENXIO, "No such device or address"},
    {E2BIG, "Argument list too long"},
    {ENOEXEC, "Exec format error"},
    {EBADF, "Bad file descriptor"},
    {ECHILD, "No child processes"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {EBUSY, "Device or resource busy"},
    {EEXIST, "File exists"},
    {EXDEV, "Invalid cross-device link"},
    {ENODEV, "No such device"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ENOTTY, "Inappropriate ioctl for device"},
    {EFBIG, "File too large"},
    {ENOSPC, "No space left on device"},
    {ESPIPE, "Illegal seek"},
    {EROFS, "Read-only file system"},
    {EMLINK, "Too many links"},
    {EPIPE, "Broken pipe"},
    {EDOM, "Numerical argument out of domain"},
    {ERANGE, "Numerical result out of range"},
    {EDEADLK, "Resource deadlock avoided"},
    {ENAMETOOLONG, "File name too long"},
    {ENOLCK, "No locks available"},
    {ENOSYS, "Function not implemented"},
    {ENOTEMPTY, "Directory not empty"},
    {EILSEQ, "Invalid or incomplete multibyte or wide character"},
    {ELOOP, "Too many levels of symbolic links"},
    {ETIMEDOUT, "Connection timed out"},
};

}  // namespace

std::string error_message(int code) {
  for (const Message& m : kMessages) {
    if (m.code == code) return m.text;
  }
  return "Unknown error " + std::to_string(code);
}

}  // namespace ledgerly::platform
