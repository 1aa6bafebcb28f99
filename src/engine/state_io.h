// Saving an engine's state to a file and loading it back: the state file's
// input and output, and the one place where they touch the operating system.
//
// The state file reaches the operating system only through the platform
// layer's files (platform/file.h), in state_io.cpp: creating or truncating
// the file (mode 0600), or taking over a duplicate of a descriptor the
// caller opened; writing it, closing it; opening a file for reading, its
// kind and size, reading it in order and at an offset.
#ifndef LEDGERLY_ENGINE_STATE_IO_H_
#define LEDGERLY_ENGINE_STATE_IO_H_

#include <string>
#include <string_view>

#include "engine/state.h"
#include "engine/state_format.h"

namespace ledgerly::engine {

// Writes `engine` (held exclusively by the caller) and `extra` to `path`,
// creating the file or truncating it, readable and writable by its owner
// alone (platform::create_for_writing()).  Nothing is synced to disk: a
// caller that wants the state to survive a system crash syncs the file
// itself.  Throws StateIoError when a system call fails, StateFileError
// when `path` names something other than a regular file or a directory (a
// named pipe, a device, a socket: refused before anything is written), or
// std::bad_alloc.  On failure `path` may hold part of a state, which
// load_state_file() refuses.
StateSummary save_state_file(const Engine& engine, std::string_view extra, const std::string& path);

// Reads the state in the file at `path` into `out` and its extra bytes
// into `extra` (load_state()).  Only a regular file is read: a directory
// fails with StateIoError(EISDIR), any other kind with StateFileError,
// without waiting for a writer.  On any failure `out` and `extra` are
// unchanged.
StateSummary load_state_file(const std::string& path, Engine& out, std::string& extra);

// The same through a file the caller opened, as the C runtime's
// `descriptor` (platform::duplicate_descriptor()): the state is written at
// the descriptor's position (from the start, for the new file a host
// makes), the file's mode stays as the caller made it, and the load reads
// the whole file from its start wherever the position is.  The file is
// never opened again by name, so it is the one the caller checked.  The
// descriptor stays open.  EBADF for one that is not open; any kind but a
// regular file is refused as above (a directory with EISDIR).
StateSummary save_state_file(const Engine& engine, std::string_view extra, int descriptor);
StateSummary load_state_file(int descriptor, Engine& out, std::string& extra);

// read_head() of the state file at `path` or open as `descriptor`, read
// at its offsets (the descriptor's position does not move).  Errors as
// load_state_file().
StateHead read_state_head(const std::string& path);
StateHead read_state_head(int descriptor);

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_STATE_IO_H_
