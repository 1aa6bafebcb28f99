// Engine.save(file, extra=b"") and Engine.load(file): the engine's state in
// a file (docs/state-file.md), on the faces whose Face has state_files; and
// the module function read_state_head(file), the counts and the place of
// the extra bytes from a state file's header without loading it.  `file`
// is a path, or a file the caller opened: a descriptor, or an object with
// fileno() (flushed first).  Through a descriptor the file is never opened
// again by name, so it is the very file the caller made or checked.
//
// Save and load convert their arguments with the interpreter lock held,
// then release it for the rest: the wait for the engine lock (taken as
// refresh takes it, so a save or load runs between two refreshes, never
// beside one), the file's input and output and the (de)serialisation.  A
// lock that refuses refresh (poisoned, or busy when the process forked)
// refuses them too, with the same PanicException.  A load reads into a new
// state and puts it in place only once the whole file has been read and
// checked; the state it replaces is freed after the engine lock is
// released.
//
// Errors: OSError (its subclass for the errno, with the path as filename
// when a path was given) when a system call fails; ValueError for a file
// that is not a usable state, a file other than a regular file or a
// directory, or a negative descriptor; MemoryError; TypeError or ValueError
// for bad arguments.

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

// Raises the error of a failed outcome; always returns nullptr.  `path` is
// the OSError's filename (nullptr for a descriptor).
PyObject* raise_error(const Outcome& outcome, PyObject* path) {
  switch (outcome.kind) {
    case Outcome::Kind::kFatal: raise_panic(outcome.fatal); break;
    case Outcome::Kind::kRefused: PyErr_SetString(PyExc_ValueError, outcome.refused.c_str()); break;
    case Outcome::Kind::kOsError: {
      // OSError(errno, text[, filename]) makes the subclass of the errno
      // (FileNotFoundError, IsADirectoryError, ...); the text is the C
      // locale's, as the engine's other error texts.
      const std::string text = engine::os_message(outcome.errnum);
      PyObject* error =
          path != nullptr
              ? PyObject_CallFunction(PyExc_OSError, "isO", outcome.errnum, text.c_str(), path)
              : PyObject_CallFunction(PyExc_OSError, "is", outcome.errnum, text.c_str());
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

// The file a save, load or head read works on: a path the engine opens, or
// a file the caller opened, as a descriptor (an int, or an object with
// fileno(), whose buffer is flushed first so that its bytes come before
// the state's).
struct Target {
  std::string path;
  int descriptor = -1;       // >= 0: a descriptor, `path` unused
  PyObject* name = nullptr;  // borrowed: the OSError's filename (nullptr for a descriptor)
};

bool convert_target(PyObject* arg, Target& out) {
  if (PyUnicode_Check(arg) || PyBytes_Check(arg) || PyObject_HasAttrString(arg, "__fspath__")) {
    // str and os.PathLike through the file-system encoding; a NUL raises ValueError.
    PyObject* bytes = nullptr;
    if (PyUnicode_FSConverter(arg, &bytes) == 0) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    const bool ok = PyBytes_AsStringAndSize(bytes, &data, &size) == 0;
    if (ok) out.path.assign(data, static_cast<std::size_t>(size));
    Py_DECREF(bytes);
    out.name = arg;
    return ok;
  }
  if (PyBool_Check(arg)) {
    PyErr_SetString(PyExc_TypeError,
                    "a state file is a path, a file descriptor or an object with fileno()");
    return false;
  }
  if (!PyLong_Check(arg) && PyObject_HasAttrString(arg, "flush")) {
    PyObject* flushed = PyObject_CallMethod(arg, "flush", nullptr);
    if (flushed == nullptr) return false;
    Py_DECREF(flushed);
  }
  const int fd = PyObject_AsFileDescriptor(arg);
  if (fd < 0) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError,
                      "a state file is a path, a file descriptor or an object with fileno()");
    }
    return false;
  }
  out.descriptor = fd;
  return true;
}

PyObject* save_with_gil(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"file", "extra", nullptr};
  PyObject* file_arg = nullptr;
  PyObject* extra = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|S:save", const_cast<char**>(kKeywords),
                                  &file_arg, &extra) == 0) {
    return nullptr;
  }
  Native* native = native_of(self, "save");
  if (native == nullptr) return nullptr;
  // `extra` (immutable, kept alive by the arguments) is read where it lies.
  std::string_view extra_bytes;
  if (extra != nullptr) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(extra, &data, &size) != 0) return nullptr;
    extra_bytes = std::string_view(data, static_cast<std::size_t>(size));
  }
  Target target;
  if (!convert_target(file_arg, target)) return nullptr;

  Outcome outcome;
  Py_BEGIN_ALLOW_THREADS
    outcome = locked(*native, [&](Outcome& out) {
      // An export that never reached its caller is still owed after a load.
      if (native->lost_export.exchange(false)) native->state.export_pending = true;
      out.summary = target.descriptor >= 0
                        ? engine::save_state_file(native->state, extra_bytes, target.descriptor)
                        : engine::save_state_file(native->state, extra_bytes, target.path);
    });
  Py_END_ALLOW_THREADS
  if (outcome.kind != Outcome::Kind::kDone) return raise_error(outcome, target.name);
  return summary_dict(outcome, false);
}

PyObject* load_with_gil(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"file", nullptr};
  PyObject* file_arg = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", const_cast<char**>(kKeywords),
                                  &file_arg) == 0) {
    return nullptr;
  }
  Native* native = native_of(self, "load");
  if (native == nullptr) return nullptr;
  Target target;
  if (!convert_target(file_arg, target)) return nullptr;

  Outcome outcome;
  Py_BEGIN_ALLOW_THREADS
    {
      engine::Engine replaced;
      outcome = locked(*native, [&](Outcome& out) {
        engine::Engine loaded;
        out.summary = target.descriptor >= 0
                          ? engine::load_state_file(target.descriptor, loaded, out.extra)
                          : engine::load_state_file(target.path, loaded, out.extra);
        replaced = std::move(native->state);
        native->state = std::move(loaded);
        // A lost export of the state just replaced is owed to no one.
        native->lost_export.store(false);
      });
      // `replaced` is freed here: after the engine lock was released, before
      // the interpreter lock is taken again.
    }
  Py_END_ALLOW_THREADS
  if (outcome.kind != Outcome::Kind::kDone) return raise_error(outcome, target.name);
  return summary_dict(outcome, true);
}

// read_state_head(file): the header of a state file, without the engine
// lock (no engine is involved) and without the interpreter lock for the
// reads.
PyObject* read_state_head_with_gil(PyObject* /*module*/, PyObject* args) {
  PyObject* file_arg = nullptr;
  if (PyArg_ParseTuple(args, "O:read_state_head", &file_arg) == 0) return nullptr;
  Target target;
  if (!convert_target(file_arg, target)) return nullptr;
  Outcome outcome;
  engine::StateHead head;
  Py_BEGIN_ALLOW_THREADS
    try {
      head = target.descriptor >= 0 ? engine::read_state_head(target.descriptor)
                                    : engine::read_state_head(target.path);
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
  Py_END_ALLOW_THREADS
  if (outcome.kind != Outcome::Kind::kDone) return raise_error(outcome, target.name);
  return Py_BuildValue("{sKsKsKsKsK}", "files", static_cast<unsigned long long>(head.files), "rows",
                       static_cast<unsigned long long>(head.rows), "extra_offset",
                       static_cast<unsigned long long>(head.extra_offset), "extra_size",
                       static_cast<unsigned long long>(head.extra_size), "bytes",
                       static_cast<unsigned long long>(head.bytes));
}

PyObject* read_state_head(PyObject* module, PyObject* args) {
  try {
    return read_state_head_with_gil(module, args);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

constexpr const char kReadStateHeadDoc[] =
    "read_state_head(file, /)\n--\n\n"
    "The counts of the state file `file` (a path or a descriptor) and where its extra bytes lie, "
    "from its header, without loading it.";

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

PyMethodDef state_functions[] = {
    {"read_state_head", read_state_head, METH_VARARGS, kReadStateHeadDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ledgerly::lib
