// list_sources(sources, table, sniff): the native listing (engine/listing.h)
// as a module-level function, on the faces whose Face has `listing`.
//
//   sources  a list of (path, forced dialect code or -1, the path's last
//            part, project label and subagent flag of the files in it when
//            it is a folder, the same of the path when it is a file)
//   table    the dialect table (engine/dialect_table.h) as bytes
//   sniff    called as sniff(path, size) for each file the table does not
//            know, after the walk: a dialect code, None for neither, or a
//            str, the error text of a file that could not be recognised
//
// Returns (manifest, counts, skipped, errors, table, stats): the manifest
// text; (message files, event files, bytes) per source; (path, reason
// code, source index, same-as path or None) per skipped path, the path as
// bytes for a name that is not UTF-8; per error (path, errno), or the text
// sniff gave; the dialect table of the files seen; the stat table of the
// manifest's files (engine/stat_table.h).
//
// moved_in_place(before, now) compares two stat tables.  The module also
// holds the names the walk goes by (LOG_SUFFIX, SUBAGENT_FOLDER,
// SUBAGENT_PREFIX), so that the host's own walk uses the same.
//
// The walk and the making of the manifest run without the interpreter
// lock; sniff is called with it, all at once, so that a listing that
// recognises few files takes the lock back once.  A bad argument raises
// TypeError or ValueError; an exception from sniff propagates.

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dialect_table.h"
#include "engine/listing.h"
#include "engine/stat_table.h"
#include "lib/binding.h"

namespace ledgerly::lib {
namespace {

bool convert_sources(PyObject* list, std::vector<engine::ListingSource>& out) {
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "list_sources() argument 'sources' must be a list");
    return false;
  }
  const Py_ssize_t n = PyList_Size(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);  // borrowed
    const char *path = nullptr, *base = nullptr, *project = nullptr, *file_project = nullptr;
    Py_ssize_t path_n = 0, base_n = 0, project_n = 0, file_project_n = 0;
    int forced = -1, sub = 0, file_sub = 0;
    if (item == nullptr || !PyTuple_Check(item) ||
        !PyArg_ParseTuple(item, "s#is#s#ps#p", &path, &path_n, &forced, &base, &base_n, &project,
                          &project_n, &sub, &file_project, &file_project_n, &file_sub)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "each source must be a tuple");
      return false;
    }
    if (path_n == 0 || std::memchr(path, '\0', static_cast<std::size_t>(path_n)) != nullptr) {
      PyErr_SetString(PyExc_ValueError, "a source path must be non-empty and hold no NUL");
      return false;
    }
    if (forced < -1 || forced > 254) {
      PyErr_SetString(PyExc_ValueError, "a forced dialect code must be -1 or 0 to 254");
      return false;
    }
    engine::ListingSource& s = out.emplace_back();
    s.path.assign(path, static_cast<std::size_t>(path_n));
    s.forced_kind = forced;
    s.base.assign(base, static_cast<std::size_t>(base_n));
    s.project.assign(project, static_cast<std::size_t>(project_n));
    s.sub = sub != 0;
    s.file_project.assign(file_project, static_cast<std::size_t>(file_project_n));
    s.file_sub = file_sub != 0;
  }
  return true;
}

PyObject* text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

// Calls sniff for every pending file of `listing`; false with the error set.
bool recognise(engine::Listing& listing, PyObject* sniff) {
  for (std::size_t i = 0; i < listing.pending(); ++i) {
    PyObject* path = text(listing.pending_path(i));
    if (path == nullptr) return false;
    PyObject* verdict = PyObject_CallFunction(
        sniff, "OK", path, static_cast<unsigned long long>(listing.pending_size(i)));
    Py_DECREF(path);
    if (verdict == nullptr) return false;
    bool ok = true;
    if (verdict == Py_None) {
      listing.resolve(i, engine::kNoDialect);
    } else if (PyLong_Check(verdict)) {
      const long kind = PyLong_AsLong(verdict);
      if (kind < 0 || kind >= engine::kNoDialect) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "sniff() gave no dialect code");
        ok = false;
      } else {
        listing.resolve(i, static_cast<std::uint8_t>(kind));
      }
    } else if (PyUnicode_Check(verdict)) {
      PyObject* utf8 = PyUnicode_AsEncodedString(verdict, "utf-8", "surrogateescape");
      char* data = nullptr;
      Py_ssize_t size = 0;
      ok = utf8 != nullptr && PyBytes_AsStringAndSize(utf8, &data, &size) == 0;
      if (ok) listing.resolve_error(i, std::string(data, static_cast<std::size_t>(size)));
      Py_XDECREF(utf8);
    } else {
      PyErr_SetString(PyExc_TypeError, "sniff() must return a dialect code, None or a str");
      ok = false;
    }
    Py_DECREF(verdict);
    if (!ok) return false;
  }
  return true;
}

// Appends `item` (a new reference, may be null) to `list`; false on failure.
bool append(PyObject* list, PyObject* item) {
  if (item == nullptr) return false;
  const int r = PyList_Append(list, item);
  Py_DECREF(item);
  return r == 0;
}

PyObject* outcome(const engine::Listing& listing) {
  PyObject* counts = PyList_New(0);
  PyObject* skipped = PyList_New(0);
  PyObject* errors = PyList_New(0);
  bool ok = counts != nullptr && skipped != nullptr && errors != nullptr;
  for (std::size_t i = 0; ok && i < listing.counts().size(); ++i) {
    const engine::SourceCounts& c = listing.counts()[i];
    ok = append(counts, Py_BuildValue("(KKK)", static_cast<unsigned long long>(c.message_files),
                                      static_cast<unsigned long long>(c.event_files),
                                      static_cast<unsigned long long>(c.bytes)));
  }
  for (std::size_t i = 0; ok && i < listing.skipped().size(); ++i) {
    const engine::Skipped& s = listing.skipped()[i];
    const auto size = static_cast<Py_ssize_t>(s.path.size());
    PyObject* path = s.reason == engine::SkipReason::kNameNotUtf8
                         ? PyBytes_FromStringAndSize(s.path.data(), size)
                         : text(s.path);
    PyObject* same_as = nullptr;
    if (s.reason == engine::SkipReason::kSameFile) {
      same_as = text(s.same_as);
    } else {
      same_as = Py_None;
      Py_INCREF(same_as);
    }
    if (path == nullptr || same_as == nullptr) {
      Py_XDECREF(path);
      Py_XDECREF(same_as);
      ok = false;
      break;
    }
    ok = append(skipped, Py_BuildValue("(NiIN)", path, static_cast<int>(s.reason),
                                       static_cast<unsigned int>(s.source), same_as));
  }
  for (std::size_t i = 0; ok && i < listing.errors().size(); ++i) {
    const engine::ListingError& e = listing.errors()[i];
    ok = append(errors,
                e.path.empty() ? text(e.text) : Py_BuildValue("(Ni)", text(e.path), e.errnum));
  }
  PyObject* result = nullptr;
  if (ok) {
    result = Py_BuildValue("(NOOOy#y#)", text(listing.manifest()), counts, skipped, errors,
                           listing.table().data(), static_cast<Py_ssize_t>(listing.table().size()),
                           listing.stats().data(), static_cast<Py_ssize_t>(listing.stats().size()));
  }
  Py_XDECREF(counts);
  Py_XDECREF(skipped);
  Py_XDECREF(errors);
  return result;
}

PyObject* list_sources(PyObject* /*module*/, PyObject* args) {
  PyObject *sources_arg = nullptr, *table_arg = nullptr, *sniff = nullptr;
  if (!PyArg_ParseTuple(args, "OO!O:list_sources", &sources_arg, &PyBytes_Type, &table_arg,
                        &sniff)) {
    return nullptr;
  }
  if (!PyCallable_Check(sniff)) {
    PyErr_SetString(PyExc_TypeError, "list_sources() argument 'sniff' must be callable");
    return nullptr;
  }
  try {
    std::vector<engine::ListingSource> sources;
    if (!convert_sources(sources_arg, sources)) return nullptr;
    char* table_data = nullptr;
    Py_ssize_t table_size = 0;
    if (PyBytes_AsStringAndSize(table_arg, &table_data, &table_size) != 0) return nullptr;
    // The bytes object stays alive (the call holds it) and never changes.
    const std::string_view table_bytes(table_data, static_cast<std::size_t>(table_size));
    engine::DialectTable known;
    engine::Listing listing;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
      try {
        known.parse(table_bytes);  // a table that does not parse knows nothing
        listing.walk(sources, known);
      } catch (const std::bad_alloc&) {
        no_memory = true;
      }
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    if (!recognise(listing, sniff)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
      try {
        listing.finish();
      } catch (const std::bad_alloc&) {
        no_memory = true;
      }
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    return outcome(listing);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// moved_in_place(before, now): engine/stat_table.h, without the
// interpreter lock.
PyObject* moved_in_place(PyObject* /*module*/, PyObject* args) {
  const char *before = nullptr, *now = nullptr;
  Py_ssize_t before_n = 0, now_n = 0;
  if (!PyArg_ParseTuple(args, "y#y#:moved_in_place", &before, &before_n, &now, &now_n)) {
    return nullptr;
  }
  try {
    std::vector<std::uint32_t> found;
    bool no_memory = false;
    // The bytes objects stay alive (the call holds them) and never change.
    Py_BEGIN_ALLOW_THREADS
      try {
        found = engine::moved_in_place(std::string_view(before, static_cast<std::size_t>(before_n)),
                                       std::string_view(now, static_cast<std::size_t>(now_n)));
      } catch (const std::bad_alloc&) {
        no_memory = true;
      }
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    PyObject* list = PyList_New(0);
    for (std::size_t i = 0; list != nullptr && i < found.size(); ++i) {
      if (!append(list, PyLong_FromUnsignedLong(found[i]))) Py_CLEAR(list);
    }
    return list;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

constexpr const char kMovedInPlaceDoc[] =
    "moved_in_place(before, now, /)\n--\n\n"
    "The indexes of the files of stat table `now` that have the same identity, size and "
    "modification time as in stat table `before` but another status change time.";

constexpr const char kListSourcesDoc[] =
    "list_sources(sources, table, sniff, /)\n--\n\n"
    "Lists the log files of `sources`: the manifest, counts per source, the skipped paths, the "
    "errors and the dialect table of the files seen.";

}  // namespace

bool add_listing_constants(PyObject* module) {
  const std::pair<const char*, std::string_view> names[] = {
      {"LOG_SUFFIX", engine::kLogSuffix},
      {"SUBAGENT_FOLDER", engine::kSubagentFolder},
      {"SUBAGENT_PREFIX", engine::kSubagentPrefix},
  };
  for (const auto& [name, value] : names) {
    PyObject* text =
        PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    if (text == nullptr || PyModule_AddObject(module, name, text) != 0) {
      Py_XDECREF(text);
      return false;
    }
  }
  return true;
}

PyMethodDef listing_functions[] = {
    {"list_sources", list_sources, METH_VARARGS, kListSourcesDoc},
    {"release_free_heap", release_free_heap, METH_NOARGS, "release_free_heap()\n--\n\n"},
    {"map_large_blocks", map_large_blocks, METH_NOARGS, "map_large_blocks()\n--\n\n"},
    {"moved_in_place", moved_in_place, METH_VARARGS, kMovedInPlaceDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ledgerly::lib
