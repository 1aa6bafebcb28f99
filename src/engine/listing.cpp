#include "engine/listing.h"

#include <errno.h>

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/json_writer.h"
#include "engine/name_order.h"
#include "engine/stat_table.h"
#include "platform/dir.h"
#include "platform/names.h"

namespace ledgerly::engine {
namespace {

// Event::kind while the file waits for resolve(), and after resolve_error().
constexpr int kPending = -1;
constexpr int kFailed = -2;

// The path of entry `name` of `folder`, joined as the host joins them.
std::string join(const std::string& folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path = folder;
  if (!platform::ends_in_separator(folder)) path.push_back(platform::path_separator());
  path.append(name);
  return path;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

void append_number(std::string& out, std::uint64_t v) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void append_signed(std::string& out, std::int64_t v) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// "device:inode" in decimal, as the host writes a file's identity.
std::string identity_text(const platform::FileStatus& st) {
  std::string out;
  if (st.device_signed) {
    append_signed(out, static_cast<std::int64_t>(st.device));
  } else {
    append_number(out, st.device);
  }
  out.push_back(':');
  append_number(out, st.inode);
  return out;
}

struct IdentityHash {
  std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& id) const noexcept {
    // Inode numbers differ in their low bits; the device mixes in above them.
    return static_cast<std::size_t>(id.second ^ (id.first * 0x9E3779B97F4A7C15ull));
  }
};

}  // namespace

struct Listing::Event {
  enum class Type : std::uint8_t { kFile, kSkipped, kError } type = Type::kFile;
  SkipReason reason = SkipReason::kNotRegular;
  bool sub = false;
  bool forced = false;
  int kind = kPending;  // kFile: a dialect code, kNoDialect, kPending or kFailed
  int errnum = 0;       // kError
  std::uint32_t source = 0;
  std::uint32_t project = 0;  // kFile: index into projects_
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t device = 0;  // kFile: the rest of its stat record
  std::uint64_t inode = 0;
  std::int64_t ctime_ns = 0;
  std::string path;
  std::string extra;  // kFile: the identity, or the error text once failed;
                      // kSkipped: the path it is the same file as
};

class Listing::Walk {
 public:
  Walk(Listing& out, const std::vector<ListingSource>& sources, const DialectTable& known)
      : out_(out), sources_(sources), known_(known), track_paths_(sources.size() > 1) {
    seen_ids_.reserve(known.size());  // about as many files as the last listing saw
  }

  void run() {
    for (std::uint32_t i = 0; i < sources_.size(); ++i) {
      const ListingSource& source = sources_[i];
      platform::FileStatus st;
      if (const int error = platform::file_status(source.path, true, st)) {
        add_error(source.path, error);
      } else if (st.kind == platform::FileKind::kDirectory) {
        walk(i);
      } else {
        add(i, source.path, st, project(source.file_project), source.file_sub);
      }
    }
  }

 private:
  struct Frame {
    std::string path;
    std::string base;     // the folder's name
    std::string project;  // the labels of its files
    bool sub = false;
  };
  struct Name {
    std::string name;
    platform::EntryType type;
    bool utf8;
  };

  std::uint32_t project(const std::string& label) {
    out_.projects_.push_back(label);
    return static_cast<std::uint32_t>(out_.projects_.size() - 1);
  }

  void add_error(std::string path, int errnum) {
    Event& e = out_.events_.emplace_back();
    e.type = Event::Type::kError;
    e.path = std::move(path);
    e.errnum = errnum;
  }

  void add_skipped(std::uint32_t source, std::string path, SkipReason reason,
                   std::string same_as = {}) {
    Event& e = out_.events_.emplace_back();
    e.type = Event::Type::kSkipped;
    e.source = source;
    e.path = std::move(path);
    e.reason = reason;
    e.extra = std::move(same_as);
  }

  // A file found at `path` (its status `st` follows symbolic links).
  void add(std::uint32_t source, std::string path, const platform::FileStatus& st,
           std::uint32_t project, bool sub) {
    if (track_paths_ && !seen_paths_.insert(path).second) return;  // under an earlier source
    if (st.kind != platform::FileKind::kRegular) {
      // A named pipe or device would block or never end; a folder named
      // *.jsonl is no log.
      add_skipped(source, std::move(path), SkipReason::kNotRegular);
      return;
    }
    const auto [first, fresh] = seen_ids_.try_emplace({st.device, st.inode}, out_.events_.size());
    if (!fresh) {
      std::string same_as = out_.events_[first->second].path;
      add_skipped(source, std::move(path), SkipReason::kSameFile, std::move(same_as));
      return;
    }
    std::string identity = identity_text(st);
    const ListingSource& from = sources_[source];
    Event& e = out_.events_.emplace_back();
    e.source = source;
    e.path = std::move(path);
    e.size = st.size;
    e.mtime_ns = st.mtime_ns;
    e.device = st.device;
    e.inode = st.inode;
    e.ctime_ns = st.ctime_ns;
    e.project = project;
    e.sub = sub;
    if (from.forced_kind >= 0) {
      e.forced = true;
      e.kind = from.forced_kind;
    } else if (const DialectVerdict* v = known_.find(identity);
               v != nullptr && v->size == static_cast<std::int64_t>(st.size) &&
               v->mtime_ns == st.mtime_ns) {
      e.kind = v->kind;
    } else {
      out_.pending_.push_back(out_.events_.size() - 1);
    }
    e.extra = std::move(identity);
  }

  void walk(std::uint32_t source) {
    const ListingSource& root = sources_[source];
    std::vector<Frame> stack;
    stack.push_back(Frame{root.path, root.base, root.project, root.sub});
    std::vector<Name> names;
    std::vector<std::size_t> subfolders;
    while (!stack.empty()) {
      Frame frame = std::move(stack.back());
      stack.pop_back();
      platform::Directory dir;  // kept open: its entries are looked at relative to it
      if (!read_folder(frame.path, dir, names)) continue;
      subfolders.clear();
      std::int64_t label = -1;  // this folder's project index, made for its first log
      for (std::size_t i = 0; i < names.size(); ++i) {
        const Name& n = names[i];
        if (!n.utf8) {
          if (ends_with(n.name, kLogSuffix) || is_folder_quietly(dir, n)) {
            add_skipped(source, join(frame.path, n.name), SkipReason::kNameNotUtf8);
          }
          continue;
        }
        bool folder = n.type == platform::EntryType::kDirectory;
        if (n.type == platform::EntryType::kUnknown) {
          platform::FileStatus st;
          const int error = dir.status(n.name, false, st);
          if (error != 0 && error != ENOENT) {
            add_error(join(frame.path, n.name), error);
            continue;
          }
          folder = error == 0 && st.kind == platform::FileKind::kDirectory;
        }
        if (folder) {
          subfolders.push_back(i);
          continue;
        }
        if (!ends_with(n.name, kLogSuffix)) continue;
        platform::FileStatus st;
        if (const int error = dir.status(n.name, true, st)) {
          add_error(join(frame.path, n.name), error);
          continue;
        }
        if (label < 0) label = project(frame.project);
        add(source, join(frame.path, n.name), st, static_cast<std::uint32_t>(label),
            frame.sub || n.name.compare(0, kSubagentPrefix.size(), kSubagentPrefix) == 0);
      }
      for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) {
        const std::string& name = names[*it].name;
        Frame child{join(frame.path, name), name, name, false};
        if (name == kSubagentFolder) {
          child.project = frame.base.empty() ? std::string(kSubagentFolder) : frame.base;
          child.sub = true;
        }
        stack.push_back(std::move(child));
      }
    }
  }

  // Opens `path` as `dir` and reads its names into `names`, in order;
  // false (with the folder's error added) when it cannot be listed whole.
  bool read_folder(const std::string& path, platform::Directory& dir, std::vector<Name>& names) {
    names.clear();
    int error = dir.open(path);
    while (error == 0) {
      platform::DirEntry entry;
      bool done = false;
      error = dir.next(entry, done);
      if (error != 0 || done) break;
      const bool utf8 = is_utf8(entry.name);
      names.push_back(Name{std::move(entry.name), entry.type, utf8});
    }
    if (error != 0) {
      add_error(path, error);
      return false;
    }
    std::sort(names.begin(), names.end(), [](const Name& a, const Name& b) {
      return name_before(a.name, a.utf8, b.name, b.utf8);
    });
    return true;
  }

  // Whether entry `n` is a folder itself (not a link to one); false when
  // that cannot be told.
  static bool is_folder_quietly(const platform::Directory& dir, const Name& n) {
    if (n.type != platform::EntryType::kUnknown) return n.type == platform::EntryType::kDirectory;
    platform::FileStatus st;
    return dir.status(n.name, false, st) == 0 && st.kind == platform::FileKind::kDirectory;
  }

  Listing& out_;
  const std::vector<ListingSource>& sources_;
  const DialectTable& known_;
  const bool track_paths_;
  std::unordered_set<std::string> seen_paths_;
  // (device, inode) -> index of the file's event
  std::unordered_map<std::pair<std::uint64_t, std::uint64_t>, std::size_t, IdentityHash> seen_ids_;
};

Listing::Listing() = default;
Listing::~Listing() = default;

void Listing::walk(const std::vector<ListingSource>& sources, const DialectTable& known) {
  events_.clear();
  pending_.clear();
  projects_.clear();
  manifest_.clear();
  counts_.clear();
  skipped_out_.clear();
  errors_out_.clear();
  table_.clear();
  stats_.clear();
  sources_ = sources.size();
  Walk(*this, sources, known).run();
}

const std::string& Listing::pending_path(std::size_t i) const { return events_[pending_[i]].path; }

std::uint64_t Listing::pending_size(std::size_t i) const { return events_[pending_[i]].size; }

void Listing::resolve(std::size_t i, std::uint8_t kind) { events_[pending_[i]].kind = kind; }

void Listing::resolve_error(std::size_t i, std::string error) {
  Event& e = events_[pending_[i]];
  e.kind = kFailed;
  e.extra = std::move(error);
}

void Listing::finish() {
  counts_.assign(sources_, SourceCounts{});
  manifest_.clear();
  manifest_.reserve(events_.size() * 160 + 2);
  stats_.clear();
  stats_.reserve(events_.size() * kStatRecordSize);
  manifest_.push_back('[');
  DialectTableWriter table;
  bool first = true;
  for (Event& e : events_) {
    if (e.type == Event::Type::kError) {
      errors_out_.push_back(ListingError{std::move(e.path), e.errnum, {}});
      continue;
    }
    if (e.type == Event::Type::kSkipped) {
      skipped_out_.push_back(Skipped{std::move(e.path), e.reason, e.source, std::move(e.extra)});
      continue;
    }
    if (e.kind == kPending) {
      errors_out_.push_back(ListingError{std::move(e.path), EIO, {}});
      continue;
    }
    if (e.kind == kFailed) {
      errors_out_.push_back(ListingError{{}, 0, std::move(e.extra)});
      continue;
    }
    const auto kind = static_cast<std::uint8_t>(e.kind);
    if (!e.forced) table.add(e.extra, static_cast<std::int64_t>(e.size), e.mtime_ns, kind);
    if (kind == kNoDialect) {
      const SkipReason why = e.size == 0 ? SkipReason::kEmpty : SkipReason::kNotRecognised;
      skipped_out_.push_back(Skipped{std::move(e.path), why, e.source, {}});
      continue;
    }
    SourceCounts& c = counts_[e.source];
    (kind == 0 ? c.message_files : c.event_files) += 1;
    c.bytes += e.size;
    append_stat(stats_, StatRecord{e.device, e.inode, static_cast<std::int64_t>(e.size), e.mtime_ns,
                                   e.ctime_ns});
    if (!first) manifest_.push_back(',');
    first = false;
    manifest_.push_back('[');
    write_json_string(manifest_, e.path);
    manifest_.push_back(',');
    append_number(manifest_, e.size);
    manifest_.push_back(',');
    write_json_string(manifest_, e.extra);
    manifest_.push_back(',');
    append_signed(manifest_, e.mtime_ns);
    manifest_.push_back(',');
    append_number(manifest_, kind);
    manifest_.push_back(',');
    write_json_string(manifest_, projects_[e.project]);
    manifest_.append(e.sub ? ",true]" : ",false]");
  }
  manifest_.push_back(']');
  table_ = table.finish();
  events_.clear();
  events_.shrink_to_fit();
  pending_.clear();
}

}  // namespace ledgerly::engine
