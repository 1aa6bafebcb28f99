// The extension module ledgerly._native: its one class, Engine, and the
// process-wide PanicException class.
//
// The module uses single-phase initialisation and keeps its module object:
// initialising it again in the same interpreter returns that object, and
// initialising it in a second interpreter fails with ImportError
// (sub-interpreters are not supported).  PanicException is not an
// attribute of the module; it is published on the parent package as
// ledgerly.PanicException whenever the module is initialised, so that a
// package imported again (after being dropped from sys.modules) gets it too.

#include "lib/binding.h"

namespace ledgerly::lib {
namespace {

PyObject* g_module = nullptr;     // strong reference, never released
PyObject* g_panic = nullptr;      // strong reference, never released
std::int64_t g_interpreter = -1;  // id of the interpreter that owns g_module

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "ledgerly._native",
    "",
    0,  // not -1: the interpreter then calls PyInit__native again on every
        // re-import instead of cloning a cached copy, so the checks below run
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Makes ledgerly.PanicException available to callers that want to catch it.
void publish_on_package(PyObject* panic) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (modules == nullptr) return;
  PyObject* package = PyDict_GetItemString(modules, "ledgerly");  // borrowed
  if (package != nullptr && PyObject_SetAttrString(package, "PanicException", panic) != 0)
    PyErr_Clear();
}

}  // namespace

PyObject* panic_exception_type() {
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

}  // namespace ledgerly::lib

extern "C" PyMODINIT_FUNC PyInit__native(void) {
  using namespace ledgerly::lib;
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (g_module != nullptr) {
    if (id != g_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "ledgerly._native does not support sub-interpreters: it is already "
                      "initialised in another interpreter of this process");
      return nullptr;
    }
    publish_on_package(g_panic);
    Py_INCREF(g_module);
    return g_module;
  }

  PyObject* panic = panic_exception_type();
  if (panic == nullptr) return nullptr;

  PyObject* module = PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION);
  if (module == nullptr) return nullptr;
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
