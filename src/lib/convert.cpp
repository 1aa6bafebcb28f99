// Conversion of refresh()'s arguments from Python objects.
//
// A conversion that fails with TypeError is re-raised as a new TypeError
// whose message is "argument '<name>': " followed by the original message,
// with the original's cause; any other failure propagates unchanged.

#include <cstring>

#include "lib/binding.h"

namespace ledgerly::lib {
namespace {

// Text of a Python object via str(), or an empty string (error cleared).
std::string object_text(PyObject* obj) {
  std::string out;
  PyObject* text = PyObject_Str(obj);
  if (text != nullptr) {
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "replace");
    if (bytes != nullptr) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(bytes, &data, &size) == 0)
        out.assign(data, static_cast<std::size_t>(size));
      Py_DECREF(bytes);
    }
    Py_DECREF(text);
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return out;
}

// Raises TypeError("argument '<name>': <message>").
void argument_type_error(const char* name, const std::string& message) {
  std::string text = std::string("argument '") + name + "': " + message;
  PyErr_SetString(PyExc_TypeError, text.c_str());
}

// With a conversion error set: a TypeError is replaced as described at the
// top of this file; anything else is left as it is.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string message = value != nullptr ? object_text(value) : std::string();
  PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);

  std::string text = std::string("argument '") + name + "': " + message;
  PyObject* replacement = PyObject_CallFunction(PyExc_TypeError, "s", text.c_str());
  if (replacement == nullptr) {
    Py_XDECREF(cause);
    return;
  }
  if (cause != nullptr) PyException_SetCause(replacement, cause);  // steals `cause`
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement, nullptr);
}

std::string attribute_text(PyObject* obj, const char* attribute, bool* ok) {
  *ok = false;
  std::string out;
  PyObject* value = PyObject_GetAttrString(obj, attribute);
  if (value != nullptr && PyUnicode_Check(value)) {
    PyObject* bytes = PyUnicode_AsUTF8String(value);
    if (bytes != nullptr) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(bytes, &data, &size) == 0) {
        out.assign(data, static_cast<std::size_t>(size));
        *ok = true;
      }
      Py_DECREF(bytes);
    }
  }
  Py_XDECREF(value);
  if (PyErr_Occurred()) PyErr_Clear();
  return out;
}

}  // namespace

std::string type_qualname(PyObject* type) {
  bool ok = false;
  std::string name = attribute_text(type, "__qualname__", &ok);
  return ok ? name : std::string("<failed to extract type name>");
}

bool convert_manifest(PyObject* obj, PyObject** holder, std::string_view& text) {
  *holder = nullptr;
  if (!PyUnicode_Check(obj)) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    argument_type_error("manifest", "'" + type_qualname(type) + "' object cannot be cast as 'str'");
    return false;
  }
  // A lone surrogate raises the interpreter's UnicodeEncodeError here,
  // which propagates unchanged.
  PyObject* bytes = PyUnicode_AsUTF8String(obj);
  if (bytes == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) {
    Py_DECREF(bytes);
    return false;
  }
  *holder = bytes;
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_workers(PyObject* obj, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) {
    prefix_type_error("workers");
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error("workers");  // OverflowError passes through unchanged
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool convert_removed(PyObject* obj, std::vector<std::string>& out) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    argument_type_error("removed", "'" + type_qualname(type) + "' object is not a list of str");
    return false;
  }
  const Py_ssize_t count = PySequence_Size(obj);
  if (count < 0) return false;
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_GetItem(obj, i);
    if (item == nullptr) return false;
    if (!PyUnicode_Check(item)) {
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(item));
      argument_type_error("removed", "an item of type '" + type_qualname(type) + "' is not a str");
      Py_DECREF(item);
      return false;
    }
    PyObject* bytes = PyUnicode_AsUTF8String(item);  // a lone surrogate raises here
    Py_DECREF(item);
    if (bytes == nullptr) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    const bool ok = PyBytes_AsStringAndSize(bytes, &data, &size) == 0;
    if (ok) out.emplace_back(data, static_cast<std::size_t>(size));
    Py_DECREF(bytes);
    if (!ok) return false;
  }
  return true;
}

bool convert_generation(PyObject* obj, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) {
    prefix_type_error("since");
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error("since");  // OverflowError passes through unchanged
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

bool convert_force(PyObject* obj, bool& out) {
  if (obj == Py_True) {
    out = true;
    return true;
  }
  if (obj == Py_False) {
    out = false;
    return true;
  }
  // numpy's boolean scalar: a type named "bool_" (or "bool") that belongs to
  // the module "numpy"; its truth comes from the type's boolean slot.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  bool name_ok = false, module_ok = false;
  std::string name = attribute_text(type, "__name__", &name_ok);
  std::string module = attribute_text(type, "__module__", &module_ok);
  if (name_ok && module_ok && module == "numpy" && (name == "bool_" || name == "bool")) {
    PyTypeObject* tp = Py_TYPE(obj);
    // PyType_GetSlot accepts static types from 3.10 on; on 3.9 it fails for
    // them, and the attribute lookup below stands in.
    auto slot = reinterpret_cast<inquiry>(PyType_GetSlot(tp, Py_nb_bool));
    if (slot == nullptr && PyErr_Occurred()) {
      PyErr_Clear();
      if (PyObject_HasAttrString(type, "__bool__")) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) {
          prefix_type_error("force");
          return false;
        }
        out = truth != 0;
        return true;
      }
    } else if (slot != nullptr) {
      int truth = slot(obj);
      if (truth < 0) {
        prefix_type_error("force");
        return false;
      }
      out = truth != 0;
      return true;
    }
    argument_type_error("force", "object of type '" + type_qualname(type) +
                                     "' does not define a '__bool__' conversion");
    return false;
  }
  argument_type_error("force", "'" + type_qualname(type) + "' object cannot be cast as 'bool'");
  return false;
}

}  // namespace ledgerly::lib
