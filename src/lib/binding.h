// Shared declarations of the binding: the only code that touches the
// Python C API.  Built against the limited API (stable ABI, 3.9 and newer).
#ifndef LEDGERLY_LIB_BINDING_H_
#define LEDGERLY_LIB_BINDING_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace ledgerly::lib {

// The process-wide PanicException class (derived from BaseException), made
// on first use.  Returns a borrowed reference, or nullptr with an error set.
PyObject* panic_exception_type();

// Raises PanicException with `message` as its single argument.
void raise_panic(const std::string& message);

// Creates the Engine heap type (once per process; the module keeps it).
// Returns a new reference or nullptr.
PyObject* make_engine_type();

// The qualified name of `type` as UTF-8, or "<failed to extract type name>".
// Never leaves an error set.
std::string type_qualname(PyObject* type);

// Converts the three arguments of refresh.  Each returns false with the
// Python error set on failure.  The manifest's UTF-8 text is not copied:
// `text` points into `*holder`, a new reference the caller releases once it
// is done with the text.
bool convert_manifest(PyObject* obj, PyObject** holder, std::string_view& text);
bool convert_workers(PyObject* obj, std::uint64_t& out);
bool convert_force(PyObject* obj, bool& out);

}  // namespace ledgerly::lib

#endif  // LEDGERLY_LIB_BINDING_H_
