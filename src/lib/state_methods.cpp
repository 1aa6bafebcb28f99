// Engine.save(path, extra=b"") and Engine.load(path): the engine's state in
// a file (docs/state-file.md), on the faces whose Face has state_files.
//
// Both convert their arguments with the interpreter lock held, then release
// it for the rest: the wait for the engine lock (taken as refresh takes
// it, so a save or load runs between two refreshes, never beside one), the
// file's input and output and the (de)serialisation.  A lock that refuses
// refresh (poisoned, or busy when the process forked) refuses them too,
// with the same PanicException.  A load reads into a new state and puts it
// in place only once the whole file has been read and checked; the state
// it replaces is freed after the engine lock is released.
//
// Errors: OSError (its subclass for the errno, with the path as filename)
// when a system call fails; ValueError for a file that is not a usable
// state, or a path naming something other than a regular file or a
// directory; MemoryError; TypeError or ValueError for bad arguments.

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "engine/os_error.h"
#include "engine/state.h"
#include "engine/state_format.h"
#include "engine/state_io.h"
#include "lib/binding.h"
#include "lib/engine_object.h"

namespace ledgerly::lib {
namespace {

// What a save or load leaves for the binding to turn into Python objects.
struct Outcome {
  enum class Kind { kDone, kFatal, kRefused, kOsError, kNoMemory } kind = Kind::kDone;
  const char* fatal = nullptr;  // kFatal: the PanicException text
  std::string refused;          // kRefused: the ValueError text
  int errnum = 0;               // kOsError
  engine::StateSummary summary;
  std::string extra;  // load: the extra bytes the file held
};

// Runs `body` (which may throw the state file's errors or std::bad_alloc)
// holding the engine lock; throws nothing.
template <typename Body>
Outcome locked(Native& native, Body&& body) noexcept {
  Outcome outcome;
  if (const char* refused = enter(native)) {
    outcome.kind = Outcome::Kind::kFatal;
    outcome.fatal = refused;
    return outcome;
  }
  try {
    body(outcome);
  } catch (const engine::StateIoError& error) {
    outcome.kind = Outcome::Kind::kOsError;
    outcome.errnum = error.errnum;
  } catch (const engine::StateFileError& error) {
    outcome.kind = Outcome::Kind::kRefused;
    try {
      outcome.refused = error.what();
    } catch (const std::bad_alloc&) {
      outcome.kind = Outcome::Kind::kNoMemory;
    }
  } catch (const std::bad_alloc&) {
    outcome.kind = Outcome::Kind::kNoMemory;
  }
  native.lock.release();
  return outcome;
}

// {"bytes": ..., "files": ..., "rows": ...} and, for a load, "extra".
PyObject* summary_dict(const Outcome& outcome, bool with_extra) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const std::pair<const char*, std::uint64_t> counts[] = {
      {"bytes", outcome.summary.bytes},
      {"files", outcome.summary.files},
      {"rows", outcome.summary.rows},
  };
  for (const auto& [key, value] : counts) {
    PyObject* number = PyLong_FromUnsignedLongLong(value);
    if (number == nullptr || PyDict_SetItemString(dict, key, number) != 0) {
      Py_XDECREF(number);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(number);
  }
  if (with_extra) {
    PyObject* extra = PyBytes_FromStringAndSize(outcome.extra.data(),
                                                static_cast<Py_ssize_t>(outcome.extra.size()));
    if (extra == nullptr || PyDict_SetItemString(dict, "extra", extra) != 0) {
      Py_XDECREF(extra);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(extra);
  }
  return dict;
}

// Raises the error of a failed outcome; always returns nullptr.
PyObject* raise_error(const Outcome& outcome, PyObject* path) {
  switch (outcome.kind) {
    case Outcome::Kind::kFatal: raise_panic(outcome.fatal); break;
    case Outcome::Kind::kRefused: PyErr_SetString(PyExc_ValueError, outcome.refused.c_str()); break;
    case Outcome::Kind::kOsError: {
      // OSError(errno, text, filename) makes the subclass of the errno
      // (FileNotFoundError, IsADirectoryError, ...); the text is the C
      // locale's, as the engine's other error texts.
      const std::string text = engine::os_message(outcome.errnum);
      PyObject* error =
          PyObject_CallFunction(PyExc_OSError, "isO", outcome.errnum, text.c_str(), path);
      if (error != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        Py_DECREF(error);
      }
      break;
    }
    case Outcome::Kind::kNoMemory: PyErr_NoMemory(); break;
    case Outcome::Kind::kDone: PyErr_SetString(PyExc_SystemError, "no error to raise"); break;
  }
  return nullptr;
}

// The path argument as the bytes the system takes (str and os.PathLike
// through the file-system encoding; an embedded NUL raises ValueError).
bool convert_path(PyObject* path, std::string& out) {
  PyObject* bytes = nullptr;
  if (PyUnicode_FSConverter(path, &bytes) == 0) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  const bool ok = PyBytes_AsStringAndSize(bytes, &data, &size) == 0;
  if (ok) out.assign(data, static_cast<std::size_t>(size));
  Py_DECREF(bytes);
  return ok;
}

PyObject* save_with_gil(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"path", "extra", nullptr};
  PyObject* path = nullptr;
  PyObject* extra = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|S:save", const_cast<char**>(kKeywords), &path,
                                  &extra) == 0) {
    return nullptr;
  }
  Native* native = native_of(self, "save");
  if (native == nullptr) return nullptr;
  std::string file;
  if (!convert_path(path, file)) return nullptr;
  // `extra` (immutable, kept alive by the arguments) is read where it lies.
  std::string_view extra_bytes;
  if (extra != nullptr) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(extra, &data, &size) != 0) return nullptr;
    extra_bytes = std::string_view(data, static_cast<std::size_t>(size));
  }

  Outcome outcome;
  Py_BEGIN_ALLOW_THREADS
    outcome = locked(*native, [&](Outcome& out) {
      // An export that never reached its caller is still owed after a load.
      if (native->lost_export.exchange(false)) native->state.export_pending = true;
      out.summary = engine::save_state_file(native->state, extra_bytes, file);
    });
  Py_END_ALLOW_THREADS
  if (outcome.kind != Outcome::Kind::kDone) return raise_error(outcome, path);
  return summary_dict(outcome, false);
}

PyObject* load_with_gil(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"path", nullptr};
  PyObject* path = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", const_cast<char**>(kKeywords), &path) ==
      0) {
    return nullptr;
  }
  Native* native = native_of(self, "load");
  if (native == nullptr) return nullptr;
  std::string file;
  if (!convert_path(path, file)) return nullptr;

  Outcome outcome;
  Py_BEGIN_ALLOW_THREADS
    {
      engine::Engine replaced;
      outcome = locked(*native, [&](Outcome& out) {
        engine::Engine loaded;
        out.summary = engine::load_state_file(file, loaded, out.extra);
        replaced = std::move(native->state);
        native->state = std::move(loaded);
        // A lost export of the state just replaced is owed to no one.
        native->lost_export.store(false);
      });
      // `replaced` is freed here: after the engine lock was released, before
      // the interpreter lock is taken again.
    }
  Py_END_ALLOW_THREADS
  if (outcome.kind != Outcome::Kind::kDone) return raise_error(outcome, path);
  return summary_dict(outcome, true);
}

}  // namespace

// No C++ exception leaves a method: those thrown with the interpreter lock
// held are out of memory.
PyObject* engine_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    return save_with_gil(self, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* engine_load(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    return load_with_gil(self, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace ledgerly::lib
