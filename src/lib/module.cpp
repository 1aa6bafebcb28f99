// The extension module (ledgerly._native or ledgerly._ledger, see Face):
// its one class, Engine, the process-wide PanicException class, and for a
// face with `listing` the function list_sources.
//
// The module uses single-phase initialisation and keeps its module object:
// initialising it again in the same interpreter returns that object, and
// initialising it in a second interpreter fails with ImportError
// (sub-interpreters are not supported).  PanicException is not an
// attribute of the module; it is published on the parent package as
// ledgerly.PanicException whenever the module is initialised, so that a
// package imported again (after being dropped from sys.modules) gets it too.
// Both modules raise the same class: the one initialised second adopts the
// class the first one published.

#include "lib/binding.h"

namespace ledgerly::lib {
namespace {

PyObject* g_module = nullptr;     // strong reference, never released
PyObject* g_panic = nullptr;      // strong reference, never released
std::int64_t g_interpreter = -1;  // id of the interpreter that owns g_module

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // the face's name, set before the module is made
    "",
    0,  // not -1: the interpreter then calls the PyInit_ function again on
        // every re-import instead of cloning a cached copy, so the checks
        // below run
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The package object ledgerly, if imported (borrowed), or nullptr.
PyObject* package() {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (modules == nullptr) return nullptr;
  return PyDict_GetItemString(modules, "ledgerly");  // borrowed
}

// Makes ledgerly.PanicException available to callers that want to catch it.
void publish_on_package(PyObject* panic) {
  PyObject* pkg = package();
  if (pkg != nullptr && PyObject_SetAttrString(pkg, "PanicException", panic) != 0) PyErr_Clear();
}

// Whether attribute `name` of `obj` is the str `expected`.  Never leaves an
// error set.
bool attribute_is(PyObject* obj, const char* name, const char* expected) {
  PyObject* value = PyObject_GetAttrString(obj, name);
  bool same = value != nullptr && PyUnicode_Check(value) &&
              PyUnicode_CompareWithASCIIString(value, expected) == 0;
  Py_XDECREF(value);
  if (PyErr_Occurred()) PyErr_Clear();
  return same;
}

// The class the other module published as ledgerly.PanicException (a new
// reference), or nullptr: a class named ledgerly.PanicException whose only
// base is BaseException.  Never leaves an error set.
PyObject* published_panic() {
  PyObject* pkg = package();
  if (pkg == nullptr) return nullptr;
  PyObject* found = PyObject_GetAttrString(pkg, "PanicException");
  if (found == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  bool usable = PyType_Check(found) && attribute_is(found, "__module__", "ledgerly") &&
                attribute_is(found, "__qualname__", "PanicException");
  if (usable) {
    PyObject* bases = PyObject_GetAttrString(found, "__bases__");
    usable = bases != nullptr && PyTuple_Check(bases) && PyTuple_Size(bases) == 1 &&
             PyTuple_GetItem(bases, 0) == PyExc_BaseException;
    Py_XDECREF(bases);
    if (PyErr_Occurred()) PyErr_Clear();
  }
  if (!usable) Py_CLEAR(found);
  return found;
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic == nullptr) g_panic = published_panic();
  if (g_panic == nullptr) {
    g_panic = PyErr_NewExceptionWithDoc(
        "ledgerly.PanicException",
        "A broken invariant inside the engine (a poisoned lock, a worker thread that could "
        "not start or that died).  The Engine that raised it refuses every later refresh.",
        PyExc_BaseException, nullptr);
  }
  return g_panic;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyObject* text =
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (g_module != nullptr) {
    if (id != g_interpreter) {
      PyErr_Format(PyExc_ImportError,
                   "%s does not support sub-interpreters: it is already initialised in another "
                   "interpreter of this process",
                   kFace.module);
      return nullptr;
    }
    publish_on_package(g_panic);
    Py_INCREF(g_module);
    return g_module;
  }

  PyObject* panic = panic_exception_type();
  if (panic == nullptr) return nullptr;

  g_module_def.m_name = kFace.module;
  if (kFace.listing) g_module_def.m_methods = listing_functions;
  PyObject* module = PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION);
  if (module == nullptr) return nullptr;
  if ((kFace.state_files && PyModule_AddFunctions(module, state_functions) != 0) ||
      (kFace.listing && !add_listing_constants(module))) {
    Py_DECREF(module);
    return nullptr;
  }
  PyObject* engine_type = make_engine_type();
  if (engine_type == nullptr || PyModule_AddObject(module, "Engine", engine_type) != 0) {
    Py_XDECREF(engine_type);
    Py_DECREF(module);
    return nullptr;
  }
  publish_on_package(panic);
  g_module = module;
  g_interpreter = id;
  Py_INCREF(g_module);
  return module;
}

}  // namespace ledgerly::lib
