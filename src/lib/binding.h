// Shared declarations of the binding: the only code that touches the
// Python C API.  Built against the limited API (stable ABI, 3.9 and newer).
//
// One binding serves two extension modules.  Every source in src/lib is
// compiled into both; what tells them apart is the Face that each module's
// definition unit (src/lib/faces/*.cpp) provides, together with its
// PyInit_ function:
//  - ledgerly._native: the records alone;
//  - ledgerly._ledger: the records, then the file each one came from; its
//    engines also save their state to a file and load it back and hand
//    over what changed since an earlier refresh (delta), and the module
//    lists log sources natively (list_sources).
#ifndef LEDGERLY_LIB_BINDING_H_
#define LEDGERLY_LIB_BINDING_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/attribution.h"

namespace ledgerly::lib {

struct Face {
  const char* module;       // qualified module name, e.g. "ledgerly._native"
  const char* engine_type;  // qualified name of its Engine class
  engine::Attribution attribution;
  // Engine has save() and load() (state_methods.cpp), and delta().
  bool state_files;
  bool listing;  // the module has list_sources() (listing_function.cpp)
};

// The face of the module being built (defined by its definition unit).
extern const Face kFace;

// The body of the module's PyInit_ function: the module object (a new
// reference) or nullptr with an error set.
PyObject* init_module();

// The process-wide PanicException class (derived from BaseException), made
// on first use, or adopted from the package when the other module of this
// process made it first.  Returns a borrowed reference, or nullptr with an
// error set.
PyObject* panic_exception_type();

// Raises PanicException with `message` as its single argument.
void raise_panic(const std::string& message);

// Creates the Engine heap type (once per process; the module keeps it).
// Returns a new reference or nullptr.
PyObject* make_engine_type();

// The qualified name of `type` as UTF-8, or "<failed to extract type name>".
// Never leaves an error set.
std::string type_qualname(PyObject* type);

// The methods Engine.save and Engine.load (state_methods.cpp), for a face
// with state_files; METH_VARARGS | METH_KEYWORDS.
PyObject* engine_save(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_load(PyObject* self, PyObject* args, PyObject* kwargs);

// The module functions of a face with `listing`, ending in a null entry.
extern PyMethodDef listing_functions[];

// release_free_heap() and map_large_blocks() of those faces
// (heap_function.cpp): METH_NOARGS.
PyObject* release_free_heap(PyObject* module, PyObject* unused);
PyObject* map_large_blocks(PyObject* module, PyObject* unused);

// Adds to `module` the names the listing goes by (LOG_SUFFIX,
// SUBAGENT_FOLDER, SUBAGENT_PREFIX), for a face with `listing`; false with
// an error set.
bool add_listing_constants(PyObject* module);

// The module functions of a face with `state_files` (read_state_head),
// ending in a null entry.
extern PyMethodDef state_functions[];

// Converts the three arguments of refresh.  Each returns false with the
// Python error set on failure.  The manifest's UTF-8 text is not copied:
// `text` points into `*holder`, a new reference the caller releases once it
// is done with the text.
bool convert_manifest(PyObject* obj, PyObject** holder, std::string_view& text);
bool convert_workers(PyObject* obj, std::uint64_t& out);
bool convert_force(PyObject* obj, bool& out);
// delta()'s generation: a non-negative int, as workers.
bool convert_generation(PyObject* obj, std::uint64_t& out);
// delta()'s removed paths: a list or tuple of str, each as UTF-8.
bool convert_removed(PyObject* obj, std::vector<std::string>& out);

}  // namespace ledgerly::lib

#endif  // LEDGERLY_LIB_BINDING_H_
