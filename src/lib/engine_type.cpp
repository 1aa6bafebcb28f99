// The Engine class: a heap type holding one engine state behind one lock.
// Its qualified name, the form of its export and whether it has save() and
// load() (state_methods.cpp) and delta() come from the module's Face.
//
// refresh() and delta() bind and convert their arguments and decode the
// manifest with the interpreter lock held, then release the interpreter
// lock for all the rest, including the wait for the engine lock (first
// come, first served).
// A fatal error inside the driver poisons the lock for good and surfaces as
// PanicException; so does a refresh in a forked child of an engine that was
// in use when the process forked.  No C++ exception leaves a method: running
// out of memory raises MemoryError.

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/driver.h"
#include "engine/engine_lock.h"
#include "engine/fatal.h"
#include "engine/manifest.h"
#include "engine/state.h"
#include "lib/binding.h"
#include "lib/engine_object.h"

#ifndef Py_TPFLAGS_IMMUTABLETYPE
#define Py_TPFLAGS_IMMUTABLETYPE (1UL << 8)  // honoured from 3.10 on
#endif

namespace ledgerly::lib {
namespace {

// The class object, made once; every method checks its receiver against it.
PyTypeObject* g_engine_type = nullptr;

constexpr const char kPoisoned[] = "engine lock poisoned: PoisonError { .. }";
constexpr const char kForkedWhileBusy[] =
    "engine lock poisoned: the engine was in use by another thread when this process was "
    "forked";

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > 0) {
    PyErr_Format(PyExc_TypeError, "Engine.__new__() takes 0 positional arguments but %zd %s given",
                 nargs, nargs == 1 ? "was" : "were");
    return nullptr;
  }
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    PyDict_Next(kwargs, &pos, &key, &value);
    PyErr_Format(PyExc_TypeError, "Engine.__new__() got an unexpected keyword argument '%U'", key);
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  Native* native = new (std::nothrow) Native();
  if (native == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  reinterpret_cast<EngineObject*>(self)->native = native;
  return self;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Native* native = reinterpret_cast<EngineObject*>(self)->native;
  // In a forked child, the state of an engine that was in use at the fork
  // may be half-way through a change made by a thread that does not exist
  // here: it is left alone (its memory stays allocated) rather than freed.
  if (native != nullptr && !native->lock.forked_while_busy()) {
    // Dropping a large state takes a while; do it without the interpreter
    // lock so other threads keep running.
    Py_BEGIN_ALLOW_THREADS
      delete native;
    Py_END_ALLOW_THREADS
  }
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

constexpr const char* kParamNames[3] = {"manifest", "workers", "force"};

// Binds (manifest, workers, force=False) from args/kwargs into `bound`
// (borrowed references; force may stay null).  False with TypeError set.
bool bind_arguments(PyObject* args, PyObject* kwargs, PyObject* bound[3]) {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError,
                 "Engine.refresh() takes from 2 to 3 positional arguments but %zd were given",
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      int slot = -1;
      for (int i = 0; i < 3; ++i) {
        int eq = PyUnicode_CompareWithASCIIString(key, kParamNames[i]);
        if (eq == 0) {
          slot = i;
          break;
        }
      }
      if (PyErr_Occurred()) return false;
      if (slot < 0) {
        PyErr_Format(PyExc_TypeError, "Engine.refresh() got an unexpected keyword argument '%U'",
                     key);
        return false;
      }
      if (bound[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "Engine.refresh() got multiple values for argument '%s'",
                     kParamNames[slot]);
        return false;
      }
      bound[slot] = value;
    }
  }
  if (bound[0] == nullptr && bound[1] == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "Engine.refresh() missing 2 required positional arguments: 'manifest' and "
                    "'workers'");
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    if (bound[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "Engine.refresh() missing 1 required positional argument: '%s'",
                   kParamNames[i]);
      return false;
    }
  }
  return true;
}

// Hands the export a bytes object to write the records into, so the buffer
// is never copied.  allocate() runs on the refreshing thread with the engine
// mutex held and the interpreter lock released; it takes the interpreter
// lock just long enough to create the object.  This cannot deadlock: a
// thread holding the interpreter lock never waits for an engine mutex (a
// refresh releases the interpreter lock before taking it).
//
// It also holds the manifest's UTF-8 text, which the decoded entries view
// until the driver has planned its read jobs, and drops it just before it
// creates the buffer: the export's memory peak then no longer carries it.
class BytesAllocator final : public engine::BufferAllocator {
 public:
  // Takes over the reference `text` (may be null).
  BytesAllocator(PyThreadState** saved, PyObject* text) : saved_(saved), text_(text) {}
  BytesAllocator(const BytesAllocator&) = delete;
  BytesAllocator& operator=(const BytesAllocator&) = delete;
  // Call with the interpreter lock held.
  ~BytesAllocator() override {
    Py_XDECREF(text_);
    Py_XDECREF(bytes_);
  }

  unsigned char* allocate(std::size_t size) override {
    PyEval_RestoreThread(*saved_);
    Py_CLEAR(text_);
    unsigned char* data = nullptr;
    if (size <= static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
      if (bytes_ != nullptr) data = reinterpret_cast<unsigned char*>(PyBytes_AsString(bytes_));
    }
    if (data == nullptr) {
      Py_CLEAR(bytes_);
      PyErr_Clear();
    }
    *saved_ = PyEval_SaveThread();
    if (data == nullptr) throw std::bad_alloc();
    return data;
  }

  // The bytes object made by allocate() (a new reference), or nullptr.
  // Call with the interpreter lock held.
  PyObject* take() noexcept {
    PyObject* bytes = bytes_;
    bytes_ = nullptr;
    return bytes;
  }

 private:
  PyThreadState** saved_;
  PyObject* text_;
  PyObject* bytes_ = nullptr;
};

// What the driver leaves for the binding to turn into Python objects.
template <typename Output>
struct Outcome {
  enum class Kind { kDone, kFatal, kNoMemory } kind = Kind::kDone;
  Output output;
  const char* fatal = nullptr;  // with Kind::kFatal: the fixed text, or...
  std::string fatal_text;       // ...the driver's own message when fatal is null
};

// Runs `call` (a refresh of the driver on the engine state, returning its
// output) holding the engine lock, with the interpreter lock released;
// throws nothing.
template <typename Output, typename Call>
Outcome<Output> run_locked(Native& native, Call&& call) noexcept {
  using Kind = typename Outcome<Output>::Kind;
  Outcome<Output> outcome;
  if (const char* refused = enter(native)) {
    outcome.kind = Kind::kFatal;
    outcome.fatal = refused;
    return outcome;
  }
  if (native.lost_export.exchange(false)) native.state.export_pending = true;
  try {
    outcome.output = call(native.state);
  } catch (const engine::FatalError& error) {
    native.lock.poison_and_release();
    outcome.kind = Kind::kFatal;
    try {
      outcome.fatal_text = error.what();
    } catch (const std::bad_alloc&) {
      outcome.kind = Kind::kNoMemory;
    }
    return outcome;
  } catch (const engine::ResultOutOfMemory&) {
    // Every state is back in place and the export is left to the next
    // refresh: the engine goes on.
    native.lock.release();
    outcome.kind = Kind::kNoMemory;
    return outcome;
  } catch (const std::bad_alloc&) {
    // States moved into read jobs are gone: the engine cannot go on.
    native.lock.poison_and_release();
    outcome.kind = Kind::kNoMemory;
    return outcome;
  }
  native.lock.release();
  return outcome;
}

// Raises the error of a refresh that did not complete; returns nullptr.
template <typename Output>
PyObject* raise_outcome(const Outcome<Output>& outcome) {
  if (outcome.kind == Outcome<Output>::Kind::kFatal) {
    raise_panic(outcome.fatal != nullptr ? std::string(outcome.fatal) : outcome.fatal_text);
    return nullptr;
  }
  return PyErr_NoMemory();
}

// The (str, bytes | None) result, or nullptr with an error set.  Steals
// `rows` (may be null when the refresh did not export).
PyObject* make_result(const engine::RefreshOutput& output, PyObject* rows) {
  const std::string& text = output.text;
  PyObject* report = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (report == nullptr) {
    Py_XDECREF(rows);
    return nullptr;
  }
  if (output.buffer.has_value()) {
    // The records were written straight into `rows` by the allocator.
    if (rows == nullptr) {
      Py_DECREF(report);
      PyErr_SetString(PyExc_SystemError, "row buffer was not allocated");
      return nullptr;
    }
  } else {
    Py_XDECREF(rows);
    rows = Py_None;
    Py_INCREF(rows);
  }
  PyObject* result = PyTuple_New(2);
  if (result == nullptr) {
    Py_DECREF(report);
    Py_DECREF(rows);
    return nullptr;
  }
  PyTuple_SetItem(result, 0, report);  // steals
  PyTuple_SetItem(result, 1, rows);    // steals
  return result;
}

// Holds a new reference until the end of the scope (or until release()).
class OwnedRef {
 public:
  explicit OwnedRef(PyObject* obj = nullptr) noexcept : obj_(obj) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(obj_); }
  PyObject** out() noexcept { return &obj_; }
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  PyObject* obj_;
};

PyObject* refresh_with_gil(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  if (!bind_arguments(args, kwargs, bound)) return nullptr;

  Native* receiver = native_of(self, "refresh");
  if (receiver == nullptr) return nullptr;

  OwnedRef utf8;
  std::string_view manifest_text;
  std::uint64_t workers = 0;
  bool force = false;
  if (!convert_manifest(bound[0], utf8.out(), manifest_text)) return nullptr;
  if (!convert_workers(bound[1], workers)) return nullptr;
  if (bound[2] != nullptr && !convert_force(bound[2], force)) return nullptr;

  engine::Manifest manifest;
  std::string error;
  if (!engine::decode_manifest(manifest_text, manifest, error)) {
    // The message may quote decoded text holding NUL characters: keep it whole.
    PyObject* message =
        PyUnicode_FromStringAndSize(error.data(), static_cast<Py_ssize_t>(error.size()));
    if (message == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
    return nullptr;
  }
  std::string().swap(error);

  Native& native = *receiver;
  PyThreadState* thread = nullptr;
  // The entries view the text: the allocator keeps it until the export.
  BytesAllocator allocator(&thread, utf8.release());
  thread = PyEval_SaveThread();
  auto outcome = run_locked<engine::RefreshOutput>(native, [&](engine::Engine& state) {
    return engine::refresh(state, std::move(manifest), workers, force, &allocator,
                           kFace.attribution);
  });
  PyEval_RestoreThread(thread);
  PyObject* rows = allocator.take();

  if (outcome.kind != decltype(outcome)::Kind::kDone) {
    Py_XDECREF(rows);
    return raise_outcome(outcome);
  }

  const bool exported = outcome.output.buffer.has_value();
  PyObject* result = make_result(outcome.output, rows);
  // A signal that arrived during the refresh (Ctrl-C) is raised here, where
  // the result can still be held back, rather than just after the call
  // returns, where the caller would lose it.
  if (result != nullptr && PyErr_CheckSignals() != 0) Py_CLEAR(result);
  if (result == nullptr && exported) native.lost_export.store(true);
  return result;
}

PyObject* engine_refresh(PyObject* self, PyObject* args, PyObject* kwargs) {
  // Every C++ exception that can get here is thrown with the interpreter
  // lock held (the part that runs without it throws nothing).
  try {
    return refresh_with_gil(self, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* delta_with_gil(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"manifest", "workers", "since", "removed", nullptr};
  PyObject* bound[4] = {nullptr, nullptr, nullptr, nullptr};
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:delta", const_cast<char**>(kKeywords),
                                  &bound[0], &bound[1], &bound[2], &bound[3]) == 0) {
    return nullptr;
  }
  Native* receiver = native_of(self, "delta");
  if (receiver == nullptr) return nullptr;

  OwnedRef utf8;
  std::string_view manifest_text;
  std::uint64_t workers = 0;
  std::uint64_t since = 0;
  if (!convert_manifest(bound[0], utf8.out(), manifest_text)) return nullptr;
  if (!convert_workers(bound[1], workers)) return nullptr;
  if (!convert_generation(bound[2], since)) return nullptr;
  // With `removed`, the manifest holds only what changed.
  std::optional<std::vector<std::string>> removed;
  if (bound[3] != nullptr && bound[3] != Py_None) {
    removed.emplace();
    if (!convert_removed(bound[3], *removed)) return nullptr;
  }

  engine::Manifest manifest;
  std::string error;
  if (!engine::decode_manifest(manifest_text, manifest, error)) {
    PyObject* message =
        PyUnicode_FromStringAndSize(error.data(), static_cast<Py_ssize_t>(error.size()));
    if (message == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
    return nullptr;
  }
  std::string().swap(error);

  Native& native = *receiver;
  PyThreadState* thread = nullptr;
  BytesAllocator allocator(&thread, utf8.release());
  thread = PyEval_SaveThread();
  auto outcome = run_locked<engine::DeltaOutput>(native, [&](engine::Engine& state) {
    return engine::refresh_delta(state, std::move(manifest), workers, since, &allocator,
                                 removed ? &*removed : nullptr);
  });
  PyEval_RestoreThread(thread);
  PyObject* rows = allocator.take();

  if (outcome.kind != decltype(outcome)::Kind::kDone) {
    Py_XDECREF(rows);
    return raise_outcome(outcome);
  }
  if (rows == nullptr) {
    PyErr_SetString(PyExc_SystemError, "delta buffer was not allocated");
    return nullptr;
  }
  const std::string& text = outcome.output.text;
  PyObject* report = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (report == nullptr) {
    Py_DECREF(rows);
    return nullptr;
  }
  PyObject* result = PyTuple_New(2);
  if (result == nullptr) {
    Py_DECREF(report);
    Py_DECREF(rows);
    return nullptr;
  }
  PyTuple_SetItem(result, 0, report);  // steals
  PyTuple_SetItem(result, 1, rows);    // steals
  // A signal that arrived during the refresh (Ctrl-C) is raised here.  The
  // delta is then lost to the caller, whose generation no longer matches:
  // its next delta is a reset.
  if (PyErr_CheckSignals() != 0) Py_CLEAR(result);
  return result;
}

PyObject* engine_delta(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    return delta_with_gil(self, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// Cast through a generic function pointer: CPython calls a
// METH_VARARGS | METH_KEYWORDS method with three arguments.
template <typename F>
PyCFunction method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr const char kRefreshDoc[] = "refresh($self, manifest, workers, force=False)\n--\n\n";

PyMethodDef engine_methods[] = {
    {"refresh", method(&engine_refresh), METH_VARARGS | METH_KEYWORDS, kRefreshDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The methods of a face that keeps its state in files and hands over deltas.
PyMethodDef engine_methods_with_state[] = {
    {"refresh", method(&engine_refresh), METH_VARARGS | METH_KEYWORDS, kRefreshDoc},
    {"save", method(&engine_save), METH_VARARGS | METH_KEYWORDS,
     "save($self, file, extra=b'')\n--\n\n"},
    {"load", method(&engine_load), METH_VARARGS | METH_KEYWORDS, "load($self, file)\n--\n\n"},
    {"delta", method(&engine_delta), METH_VARARGS | METH_KEYWORDS,
     "delta($self, manifest, workers, since, removed=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&engine_dealloc)},
    {Py_tp_methods, nullptr},  // set by make_engine_type() from the face
    {Py_tp_doc, const_cast<char*>("Engine()\n--\n\n")},
    {0, nullptr},
};

// The interpreter version this process runs, as major * 100 + minor.
int running_version() {
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
  return major * 100 + minor;
}

}  // namespace

Native* native_of(PyObject* self, const char* method) {
  // The instance's own type, not the class's current slots: those could
  // have been replaced from Python where the class is mutable (3.9).  An
  // instance made without Engine.__new__ has no state.
  if (g_engine_type == nullptr || Py_TYPE(self) != g_engine_type ||
      reinterpret_cast<EngineObject*>(self)->native == nullptr) {
    PyErr_Format(PyExc_TypeError, "Engine.%s() requires an Engine instance", method);
    return nullptr;
  }
  return reinterpret_cast<EngineObject*>(self)->native;
}

const char* enter(Native& native) noexcept {
  switch (native.lock.acquire()) {
    case engine::EngineLock::Entry::kAcquired: return nullptr;
    case engine::EngineLock::Entry::kPoisoned: return kPoisoned;
    case engine::EngineLock::Entry::kForkedWhileBusy: return kForkedWhileBusy;
  }
  return kPoisoned;
}

PyObject* make_engine_type() {
  if (g_engine_type != nullptr) {
    Py_INCREF(g_engine_type);
    return reinterpret_cast<PyObject*>(g_engine_type);
  }
  // No BASETYPE: the class cannot be subclassed.  From 3.10 on the class
  // is also immutable (its attributes cannot be set or deleted); 3.9 has no
  // such flag, and there refresh() still checks the instance's own type.
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (running_version() >= 310) flags |= Py_TPFLAGS_IMMUTABLETYPE;
  for (PyType_Slot& slot : engine_slots) {
    if (slot.slot == Py_tp_methods) {
      slot.pfunc = kFace.state_files ? engine_methods_with_state : engine_methods;
    }
  }
  PyType_Spec type_spec = {
      kFace.engine_type, static_cast<int>(sizeof(EngineObject)), 0, flags, engine_slots,
  };
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  g_engine_type = reinterpret_cast<PyTypeObject*>(type);
  Py_INCREF(type);  // the reference kept in g_engine_type, never released
  return type;
}

}  // namespace ledgerly::lib
