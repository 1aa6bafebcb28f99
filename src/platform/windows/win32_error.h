// The C library error number that stands for a Windows error code.
#ifndef LEDGERLY_PLATFORM_WINDOWS_WIN32_ERROR_H_
#define LEDGERLY_PLATFORM_WINDOWS_WIN32_ERROR_H_

namespace ledgerly::platform::windows {

// Maps a code from GetLastError() to the errno value a POSIX system gives
// for the same failure: a missing file or folder (and a bad drive or
// network name) is ENOENT, a refused or shared-away file EACCES, a name
// too long ENAMETOOLONG, and so on.  Codes without a counterpart become
// EIO, so every failure still reads as an error of the system.
int errno_of(unsigned long code) noexcept;

// errno_of(GetLastError()).
int last_errno() noexcept;

}  // namespace ledgerly::platform::windows

#endif  // LEDGERLY_PLATFORM_WINDOWS_WIN32_ERROR_H_
