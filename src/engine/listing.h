// Listing: the walk of the log sources that makes a refresh's manifest.
//
// Each source is a folder or a single file.  A folder is walked in name
// order (name_order.h), its files before its subfolders, each subfolder
// whole before the next, with a stack (any depth, no recursion); symbolic
// links to folders are not followed, links to files are.  Files named
// "*.jsonl" are taken from every folder; a source that is a file is taken
// whatever its name.  Every path is taken once, under the first source
// that reaches it; a file reached by a second path (a hard or symbolic
// link) is skipped as the same file as the first.  What is not a regular
// file, a name that is not UTF-8 (a "*.jsonl" file or a folder), and a
// file recognised as neither dialect are skipped with their reason;
// folders that cannot be listed and files that cannot be looked at are
// errors.  Nothing here raises for what is on disk.
//
// The dialect of each file comes from the source (a forced dialect) or
// from the table of dialects recognised before (dialect_table.h) when the
// file's size and modification time are those it was judged at.  The
// others are *pending*: the caller recognises them (resolve()) between
// walk() and finish().  Folder labels: a file's project is its folder's
// name, or for a folder named "subagents" the name of the folder above,
// which also marks its files as a subagent's, as does a file name that
// starts with "agent-"; the labels of a source's own folder (or of a
// source file) come from the caller.
//
// The outcome (finish()) is what the host's listing holds: the manifest
// in its array form ([path, size, identity, mtime_ns, kind, project, sub]
// per file, in walk order), counts per source, the skipped paths and the
// errors in walk order, the table of the dialects of the files seen, and
// the stat table of the manifest's files (stat_table.h).
#ifndef LEDGERLY_ENGINE_LISTING_H_
#define LEDGERLY_ENGINE_LISTING_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dialect_table.h"

namespace ledgerly::engine {

// The names the walk goes by, which the host's own walk uses too (the
// binding gives them to it): the suffix of a log file, the folder whose
// logs are a subagent's, and the start of a subagent log's own name.
inline constexpr std::string_view kLogSuffix = ".jsonl";
inline constexpr std::string_view kSubagentFolder = "subagents";
inline constexpr std::string_view kSubagentPrefix = "agent-";

// One source, with the labels the host gives its own path (it splits paths
// by its own rules; the walk labels the folders below from their names).
struct ListingSource {
  std::string path;      // absolute, UTF-8, without NUL
  int forced_kind = -1;  // the dialect code of every file under it, or -1
  std::string base;      // the last part of `path`
  std::string project;   // when `path` is a folder: the labels of its files
  bool sub = false;
  std::string file_project;  // when `path` is a file: its labels
  bool file_sub = false;
};

enum class SkipReason : std::uint8_t {
  kNotRegular,
  kNameNotUtf8,
  kSameFile,  // `same_as` names the path the file was taken by
  kEmpty,
  kNotRecognised,
};

struct Skipped {
  std::string path;  // on POSIX systems not UTF-8 for kNameNotUtf8
  SkipReason reason;
  std::uint32_t source;
  std::string same_as;
};

struct ListingError {
  std::string path;  // "" when `text` is the whole error
  int errnum = 0;
  std::string text;  // the caller's own text for a file it could not recognise
};

struct SourceCounts {
  std::uint64_t message_files = 0;
  std::uint64_t event_files = 0;
  std::uint64_t bytes = 0;
};

class Listing {
 public:
  // Walks `sources` in order, looking dialects up in `known`.  Throws only
  // std::bad_alloc.
  void walk(const std::vector<ListingSource>& sources, const DialectTable& known);

  // The files left pending by walk(), in walk order.
  std::size_t pending() const noexcept { return pending_.size(); }
  const std::string& pending_path(std::size_t i) const;
  std::uint64_t pending_size(std::size_t i) const;
  // Pending file `i` is of dialect `kind` (kNoDialect: neither), or could
  // not be recognised (`error`, the whole error text).  A file left
  // unresolved counts as one that could not be read.
  void resolve(std::size_t i, std::uint8_t kind);
  void resolve_error(std::size_t i, std::string error);

  // Makes the outcome below.  Throws only std::bad_alloc.
  void finish();

  const std::string& manifest() const noexcept { return manifest_; }
  const std::vector<SourceCounts>& counts() const noexcept { return counts_; }
  const std::vector<Skipped>& skipped() const noexcept { return skipped_out_; }
  const std::vector<ListingError>& errors() const noexcept { return errors_out_; }
  const std::string& table() const noexcept { return table_; }
  // The stat table of the manifest's files (stat_table.h).
  const std::string& stats() const noexcept { return stats_; }

 private:
  struct Event;
  class Walk;

  std::vector<Event> events_;
  std::vector<std::size_t> pending_;  // indexes into events_
  std::vector<std::string> projects_;
  std::size_t sources_ = 0;
  std::string manifest_;
  std::vector<SourceCounts> counts_;
  std::vector<Skipped> skipped_out_;
  std::vector<ListingError> errors_out_;
  std::string table_;
  std::string stats_;

 public:
  Listing();
  ~Listing();
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_LISTING_H_
