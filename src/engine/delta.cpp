// The delta tracker: the selection kept between refreshes and brought up to
// date from the states a refresh changed.
//
// What decides whether a stored row is selected, and under which place:
//  - a message row with a key: the key's occurrences among all stored
//    rows (KeyIndex).  The first in export order gives the place, the
//    first that no later one outranks is selected.  A refresh that adds,
//    changes or drops an occurrence settles that key again;
//  - an event row of a file that names parents (fork inheritance): the
//    fingerprints of the parents' owners and the file's start.  A child is
//    evaluated again when its own rows, parents or start change, or when
//    the owner of a session it names changes or holds different rows;
//  - every other row is selected where it lies.
// So a delta visits the changed files, the keys their rows hold and the
// children whose parents changed, never every stored row.  Which rows end
// up selected does not depend on the order of that work; the delta's lists
// are sorted at the end, so its output is deterministic.
#include "engine/delta.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/fatal.h"
#include "engine/fork_prints.h"
#include "engine/key_index.h"
#include "engine/seeded_hash.h"
#include "engine/select.h"
#include "parser/dialect.h"
#include "parser/row.h"
#include "parser/shared_text.h"

#ifdef LEDGERLY_TESTING_HOOKS
#include "engine/testing_hooks.h"
#endif

namespace ledgerly::engine {
namespace {

using parser::Row;
using parser::SharedText;

constexpr std::size_t kUnchanged = std::numeric_limits<std::size_t>::max();
constexpr std::uint64_t kLastId = std::numeric_limits<std::uint32_t>::max();

bool keyed(const Row& row) noexcept { return row.is_message() && !row.key().empty(); }

std::string_view text_of(const SharedText& t) noexcept { return {t.data(), t.size()}; }

// What the tracker keeps of one stored state.
struct FileTrack {
  FileState* state = nullptr;  // null: a free number
  // Per row the tracker has seen: its id while selected, else 0.
  std::vector<std::uint32_t> ids;
  SharedText session;                   // the file's own session id, as registered
  std::size_t parents = 0;              // how many of its parents are registered
  std::optional<std::int64_t> started;  // its start, as last seen
  std::uint32_t inherited = 0;          // rows of its opening run inherited
  bool unresolved = false;              // names parents, none of them carried by a file
  // Scratch of one delta.
  bool retired = false;
  bool dirty = false;             // a child to evaluate again
  std::size_t from = kUnchanged;  // rows from here on are not selected yet
};

// A session id that some stored file names as a parent.
struct Named {
  std::vector<std::uint32_t> children;  // the files naming it
  std::vector<std::uint32_t> carriers;  // the files whose own id it is
  std::uint32_t owner = 0;              // the carrier whose path sorts last; 0: none
};

// A row to be added, before its id is given.
struct Pending {
  std::uint32_t file;
  std::uint32_t index;
  std::uint32_t place;
  std::uint32_t seq;
};

struct Occurrence {
  std::uint32_t file;
  std::uint32_t index;
};

void remove_value(std::vector<std::uint32_t>& values, std::uint32_t value) {
  values.erase(std::remove(values.begin(), values.end(), value), values.end());
}

}  // namespace

class DeltaTracker::Impl {
 public:
  Impl() : index_(RowAt{&files_}) {}

  void init(const FileOrder& order, const PlacedSelection& selection);
  bool apply(StateChanges& changes, DeltaRows& out);

  std::uint64_t live = 0;
  std::uint64_t inherited = 0;
  std::uint64_t unresolved = 0;

 private:
  struct RowAt {
    const std::vector<FileTrack>* files;
    const Row& operator()(std::uint32_t file, std::uint32_t index) const {
      return (*files)[file].state->rows[index];
    }
  };

  const Row& row(std::uint32_t file, std::uint32_t index) const {
    return files_[file].state->rows[index];
  }
  std::string_view path(std::uint32_t file) const { return files_[file].state->path(); }
  bool live_file(std::uint32_t file) const {
    return file != 0 && file < files_.size() && files_[file].state != nullptr &&
           !files_[file].retired;
  }

  std::uint32_t track(FileState* state);
  void retire(std::uint32_t file);
  void update(std::uint32_t file, std::size_t replaced_from);
  void add_file(FileState* state);
  void add_rows(std::uint32_t file, std::size_t from);
  void register_session(std::uint32_t file);
  void unregister_session(std::uint32_t file);
  void register_parents(std::uint32_t file);
  Named& named(std::string_view id);
  void choose_owner(Named& session);
  void mark_dirty(std::uint32_t file);
  void touch(const Row& row);
  template <typename OnRow>
  void evaluate(std::uint32_t file, OnRow&& on_row);
  void reevaluate(std::uint32_t file);
  const std::vector<Print>& prints_of(std::uint32_t owner);
  void settle(const Row& key_row);
  void withdraw(std::uint32_t& id);
  void finish(DeltaRows& out);

  std::vector<FileTrack> files_{1};  // [0] unused: 0 is no number
  std::vector<std::uint32_t> free_;
  KeyIndex<RowAt> index_;
  std::unordered_map<std::string, Named, SeededHash> named_;
  SeededHash print_hash_;
  std::uint64_t next_id_ = 1;

  // Scratch of one delta.
  DeltaRows* out_ = nullptr;
  std::vector<Pending> pending_;
  std::vector<std::uint32_t> touched_files_;  // tracks with `from` or `dirty` set
  std::vector<std::uint32_t> dirty_;
  std::vector<std::uint32_t> retired_;
  std::vector<const Row*> touched_keys_;  // one row of each key to settle; repeats dropped before
  std::unordered_map<std::uint32_t, std::vector<Print>> prints_;
  std::vector<PrintRange> usable_;
  std::vector<Occurrence> occurrences_;
};

std::uint32_t DeltaTracker::Impl::track(FileState* state) {
  std::uint32_t file;
  if (!free_.empty()) {
    file = free_.back();
    free_.pop_back();
  } else {
    if (files_.size() >= kLastId) throw std::bad_array_new_length();
    files_.emplace_back();
    file = static_cast<std::uint32_t>(files_.size() - 1);
  }
  FileTrack& t = files_[file];
  t = FileTrack{};
  t.state = state;
  t.session = state->context.session_id;
  t.started = state->context.started;
  state->track = file;
  return file;
}

void DeltaTracker::Impl::mark_dirty(std::uint32_t file) {
  FileTrack& t = files_[file];
  if (t.dirty) return;
  t.dirty = true;
  dirty_.push_back(file);
  touched_files_.push_back(file);
}

void DeltaTracker::Impl::touch(const Row& row) { touched_keys_.push_back(&row); }

void DeltaTracker::Impl::withdraw(std::uint32_t& id) {
  if (id == 0) return;
  out_->withdrawn.push_back(id);
  --live;
  id = 0;
}

Named& DeltaTracker::Impl::named(std::string_view id) {
  auto [it, inserted] = named_.try_emplace(std::string(id));
  if (inserted) {
    // A session no file named before: find the files that carry it.
    for (std::uint32_t f = 1; f < files_.size(); ++f) {
      if (live_file(f) && files_[f].session == id) it->second.carriers.push_back(f);
    }
    choose_owner(it->second);
  }
  return it->second;
}

void DeltaTracker::Impl::choose_owner(Named& session) {
  std::uint32_t owner = 0;
  for (const std::uint32_t f : session.carriers) {
    if (owner == 0 || path(owner) < path(f)) owner = f;
  }
  if (owner == session.owner) return;
  session.owner = owner;
  for (const std::uint32_t child : session.children) mark_dirty(child);
}

void DeltaTracker::Impl::register_session(std::uint32_t file) {
  const SharedText& id = files_[file].session;
  if (id.empty()) return;
  auto it = named_.find(std::string(text_of(id)));
  if (it == named_.end()) return;
  it->second.carriers.push_back(file);
  choose_owner(it->second);
}

void DeltaTracker::Impl::unregister_session(std::uint32_t file) {
  const SharedText& id = files_[file].session;
  if (id.empty()) return;
  auto it = named_.find(std::string(text_of(id)));
  if (it == named_.end()) return;
  remove_value(it->second.carriers, file);
  choose_owner(it->second);
}

void DeltaTracker::Impl::register_parents(std::uint32_t file) {
  FileTrack& t = files_[file];
  const std::vector<SharedText>& parents = t.state->context.parents();
  if (t.parents == parents.size()) return;
  for (std::size_t p = t.parents; p < parents.size(); ++p) {
    named(text_of(parents[p])).children.push_back(file);
  }
  files_[file].parents = parents.size();
  mark_dirty(file);
}

// Rows from `from` on are new to the selection: each keyed row is settled
// with its key, each row a fork decides on waits for its file's
// evaluation, and every other row is selected where it lies.
void DeltaTracker::Impl::add_rows(std::uint32_t file, std::size_t from) {
  FileTrack& t = files_[file];
  const std::vector<Row>& rows = t.state->rows;
  const bool child = !t.state->context.parents().empty();
  for (std::size_t i = from; i < rows.size(); ++i) {
    const Row& r = rows[i];
    if (keyed(r)) {
      touch(r);
    } else if (!(child && parser::takes_part_in_forks(r.kind()))) {
      const auto index = static_cast<std::uint32_t>(i);
      pending_.push_back(Pending{file, index, file, index});
    }
  }
  if (child && from < rows.size()) mark_dirty(file);
  // The prints of the sessions it owns changed with its rows.
  if (!t.session.empty() && from < rows.size()) {
    auto it = named_.find(std::string(text_of(t.session)));
    if (it != named_.end() && it->second.owner == file) {
      for (const std::uint32_t c : it->second.children) mark_dirty(c);
    }
  }
}

void DeltaTracker::Impl::retire(std::uint32_t file) {
  FileTrack& t = files_[file];
  const std::vector<Row>& rows = t.state->rows;
  // Rows the read appended to a state that was then replaced were never
  // seen: only the first ids.size() rows are indexed or selected.
  for (std::size_t i = 0; i < t.ids.size(); ++i) {
    withdraw(t.ids[i]);
    const Row& r = rows[i];
    if (keyed(r)) {
      index_.erase(file, static_cast<std::uint32_t>(i), r.key_hash());
      touch(r);
    }
  }
  const std::vector<SharedText>& parents = t.state->context.parents();
  for (std::size_t p = 0; p < t.parents; ++p) {
    auto it = named_.find(std::string(text_of(parents[p])));
    if (it != named_.end()) remove_value(it->second.children, file);
  }
  inherited -= t.inherited;
  unresolved -= t.unresolved ? 1 : 0;
  t.retired = true;
  retired_.push_back(file);
  unregister_session(file);
}

void DeltaTracker::Impl::update(std::uint32_t file, std::size_t replaced_from) {
  FileTrack& t = files_[file];
  const std::vector<Row>& rows = t.state->rows;
  const std::size_t known = t.ids.size();
  // A continued state only ever gains rows (a rebuilt one is a new state).
  if (rows.size() < known) throw FatalError("delta tracker: a continued file lost rows");
  const std::size_t from = std::min(known, replaced_from);
  for (std::size_t i = from; i < known; ++i) {
    withdraw(t.ids[i]);
    if (keyed(rows[i])) touch(rows[i]);  // indexed already, under the same key
  }
  t.ids.resize(rows.size(), 0);
  for (std::size_t i = known; i < rows.size(); ++i) {
    if (keyed(rows[i])) index_.insert(file, static_cast<std::uint32_t>(i), rows[i].key_hash());
  }
  if (from < rows.size()) {
    t.from = from;
    touched_files_.push_back(file);
  }
  const parser::Context& context = t.state->context;
  if (!(t.session == context.session_id)) {
    unregister_session(file);
    files_[file].session = context.session_id;
    register_session(file);
  }
  register_parents(file);
  FileTrack& same = files_[file];  // named() may not move files_, but stay safe
  if (same.started != context.started) {
    same.started = context.started;
    if (!context.parents().empty()) mark_dirty(file);
  }
  add_rows(file, from);
}

void DeltaTracker::Impl::add_file(FileState* state) {
  const std::uint32_t file = track(state);
  const std::vector<Row>& rows = state->rows;
  files_[file].ids.assign(rows.size(), 0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (keyed(rows[i])) index_.insert(file, static_cast<std::uint32_t>(i), rows[i].key_hash());
  }
  files_[file].from = 0;
  touched_files_.push_back(file);
  register_session(file);
  register_parents(file);
  add_rows(file, 0);
}

const std::vector<Print>& DeltaTracker::Impl::prints_of(std::uint32_t owner) {
  auto [it, made] = prints_.try_emplace(owner);
  if (made) append_prints(print_hash_, files_[owner].state->rows, it->second);
  return it->second;
}

// Runs the fork rules over a child's rows: on_row(index, inherited) for
// every row that takes part in forks, in order; keeps the file's counts.
template <typename OnRow>
void DeltaTracker::Impl::evaluate(std::uint32_t file, OnRow&& on_row) {
  const FileState& state = *files_[file].state;
  const std::vector<SharedText>& parents = state.context.parents();
  usable_.clear();
  bool resolved = false;
  for (const SharedText& parent : parents) {
    auto it = named_.find(std::string(text_of(parent)));
    if (it == named_.end() || it->second.owner == 0) continue;
    resolved = true;
    const std::uint32_t owner = it->second.owner;
    if (owner == file) continue;  // a session never inherits from itself
    const std::vector<Print>& prints = prints_of(owner);
    if (!prints.empty())
      usable_.push_back(PrintRange{prints.data(), prints.data() + prints.size()});
  }
  bool opening = !parents.empty();
  std::uint32_t count = 0;
  const std::vector<Row>& rows = state.rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    if (!parser::takes_part_in_forks(r.kind())) continue;
    bool dropped = false;
    if (opening) {
      if (r.totals() != nullptr &&
          engine::inherited(print_hash_, r, usable_, state.context.started)) {
        dropped = true;
        ++count;
      } else {
        opening = false;
      }
    }
    on_row(i, dropped);
  }
  FileTrack& t = files_[file];
  const bool now_unresolved = !parents.empty() && !resolved;
  inherited = inherited - t.inherited + count;
  unresolved = unresolved - (t.unresolved ? 1 : 0) + (now_unresolved ? 1 : 0);
  t.inherited = count;
  t.unresolved = now_unresolved;
}

void DeltaTracker::Impl::reevaluate(std::uint32_t file) {
  FileTrack& t = files_[file];
  const std::size_t from = t.from == kUnchanged ? t.ids.size() : t.from;
  evaluate(file, [&](std::size_t i, bool dropped) {
    std::uint32_t& id = files_[file].ids[i];
    if (dropped) {
      withdraw(id);
    } else if (id == 0 || i >= from) {
      // Taken back, or new: rows from `from` on hold no id any more.
      const auto index = static_cast<std::uint32_t>(i);
      pending_.push_back(Pending{file, index, file, index});
    }
  });
}

// Settles the key of `key_row` again: its occurrences now, the first in
// export order as the place, the first that no later one outranks as the
// row selected.  The row that held the key so far is withdrawn: its place
// or content may have moved.
void DeltaTracker::Impl::settle(const Row& key_row) {
  occurrences_.clear();
  index_.for_each(key_row.key(), key_row.key_hash(), [this](std::uint32_t f, std::uint32_t i) {
    occurrences_.push_back(Occurrence{f, i});
  });
  if (occurrences_.empty()) return;
  std::sort(occurrences_.begin(), occurrences_.end(),
            [this](const Occurrence& a, const Occurrence& b) {
              if (a.file != b.file) return path(a.file) < path(b.file);
              return a.index < b.index;
            });
  Occurrence kept = occurrences_.front();
  for (const Occurrence& o : occurrences_) {
    withdraw(files_[o.file].ids[o.index]);
    if (outranks(row(o.file, o.index), row(kept.file, kept.index))) kept = o;
  }
  const Occurrence& place = occurrences_.front();
  pending_.push_back(Pending{kept.file, kept.index, place.file, place.index});
}

void DeltaTracker::Impl::finish(DeltaRows& out) {
  std::sort(pending_.begin(), pending_.end(), [this](const Pending& a, const Pending& b) {
    if (a.place != b.place) return path(a.place) < path(b.place);
    return a.seq < b.seq;
  });
  out.added.reserve(out.added.size() + pending_.size());
  for (const Pending& p : pending_) {
    const auto id = static_cast<std::uint32_t>(next_id_++);
    files_[p.file].ids[p.index] = id;
    out.added.push_back(
        AddedRow{&row(p.file, p.index), files_[p.file].state, files_[p.place].state, p.seq, id});
  }
  live += pending_.size();
  std::sort(out.withdrawn.begin(), out.withdrawn.end());
  out.live = live;
  out.inherited_events = inherited;
  out.unresolved_forks = unresolved;
}

bool DeltaTracker::Impl::apply(StateChanges& changes, DeltaRows& out) {
  out_ = &out;
  for (const std::unique_ptr<FileState>& state : changes.retired) {
    if (state != nullptr && state->track != 0 && state->track < files_.size() &&
        files_[state->track].state == state.get() && !files_[state->track].retired) {
      retire(state->track);
    }
  }
  std::sort(changes.changed.begin(), changes.changed.end(),
            [](const StateChanges::Changed& a, const StateChanges::Changed& b) {
              return a.state->path() < b.state->path();
            });
  for (const StateChanges::Changed& c : changes.changed) {
    const std::uint32_t file = c.state->track;
    if (file != 0 && file < files_.size() && files_[file].state == c.state &&
        !files_[file].retired) {
      update(file, c.replaced_from);
    } else {
      add_file(c.state);
    }
  }
  // Children whose own rows, parents or start changed, or whose parents'
  // owners or owners' rows did.
  for (std::size_t k = 0; k < dirty_.size(); ++k) {
    const std::uint32_t file = dirty_[k];
    if (live_file(file) && !files_[file].state->context.parents().empty()) reevaluate(file);
  }
  // Each key once: sorted by hash, then by key, the repeats are neighbours.
  std::sort(touched_keys_.begin(), touched_keys_.end(), [](const Row* a, const Row* b) {
    if (a->key_hash() != b->key_hash()) return a->key_hash() < b->key_hash();
    return a->key() < b->key();
  });
  touched_keys_.erase(std::unique(touched_keys_.begin(), touched_keys_.end(),
                                  [](const Row* a, const Row* b) { return a->key() == b->key(); }),
                      touched_keys_.end());
  for (const Row* key_row : touched_keys_) settle(*key_row);

  std::uint64_t last = kLastId;
#ifdef LEDGERLY_TESTING_HOOKS
  if (const std::uint64_t left = testing_hooks::delta_ids_left.exchange(0); left != 0) {
    last = next_id_ + left - 1;
  }
#endif
  const bool fits = next_id_ + pending_.size() <= last + 1;
  if (fits) finish(out);

  // Scratch back to rest; the retired states' numbers become free.
  for (const std::uint32_t file : touched_files_) {
    files_[file].from = kUnchanged;
    files_[file].dirty = false;
  }
  for (const std::uint32_t file : retired_) {
    files_[file] = FileTrack{};
    free_.push_back(file);
  }
  for (auto it = named_.begin(); it != named_.end();) {
    it = it->second.children.empty() ? named_.erase(it) : std::next(it);
  }
  pending_.clear();
  touched_files_.clear();
  dirty_.clear();
  retired_.clear();
  touched_keys_.clear();
  prints_.clear();
  out_ = nullptr;
  return fits;
}

void DeltaTracker::Impl::init(const FileOrder& order, const PlacedSelection& selection) {
  if (order.size() >= kLastId) throw std::bad_array_new_length();
  files_.reserve(order.size() + 1);
  std::size_t keyed_rows = 0;
  for (const auto& [path, state] : order) {
    // The engine is held exclusively; the order only lends its states as const.
    FileState* mutable_state = const_cast<FileState*>(state);
    const std::uint32_t file = track(mutable_state);
    files_[file].ids.assign(state->rows.size(), 0);
    files_[file].parents = state->context.parents().size();
    for (const Row& r : state->rows) keyed_rows += keyed(r) ? 1 : 0;
  }
  for (std::size_t k = 0; k < selection.rows.size(); ++k) {
    const FileState& state = *order[selection.files[k]].second;
    const auto index = static_cast<std::size_t>(selection.rows[k] - state.rows.data());
    files_[state.track].ids[index] = static_cast<std::uint32_t>(k + 1);
  }
  next_id_ = selection.rows.size() + 1;
  live = selection.rows.size();

  index_.reserve(keyed_rows);
  for (std::uint32_t file = 1; file < files_.size(); ++file) {
    const std::vector<Row>& rows = files_[file].state->rows;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (keyed(rows[i])) index_.insert(file, static_cast<std::uint32_t>(i), rows[i].key_hash());
    }
  }

  // Forks: the sessions named as parents, their carriers (in path order, so
  // the last is the owner) and each child's counts.
  for (std::uint32_t file = 1; file < files_.size(); ++file) {
    for (const SharedText& parent : files_[file].state->context.parents()) {
      named_[std::string(text_of(parent))].children.push_back(file);
    }
  }
  if (named_.empty()) return;
  for (std::uint32_t file = 1; file < files_.size(); ++file) {
    if (files_[file].session.empty()) continue;
    auto it = named_.find(std::string(text_of(files_[file].session)));
    if (it == named_.end()) continue;
    it->second.carriers.push_back(file);
    it->second.owner = file;
  }
  for (std::uint32_t file = 1; file < files_.size(); ++file) {
    if (!files_[file].state->context.parents().empty()) {
      evaluate(file, [](std::size_t, bool) {});
    }
  }
  prints_.clear();
}

DeltaTracker::DeltaTracker(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
DeltaTracker::~DeltaTracker() = default;

std::unique_ptr<DeltaTracker> DeltaTracker::build(Engine& engine) {
  const SelectionBasis& basis = basis_of(engine);
  auto impl = std::make_unique<Impl>();
  {
    const PlacedSelection selection = select_rows<Attribution::kPlaces>(basis);
    impl->init(basis.order, selection);
  }
  return std::unique_ptr<DeltaTracker>(new DeltaTracker(std::move(impl)));
}

bool DeltaTracker::apply(StateChanges& changes, DeltaRows& out) {
  return impl_->apply(changes, out);
}

std::uint64_t DeltaTracker::live() const noexcept { return impl_->live; }
std::uint64_t DeltaTracker::inherited_events() const noexcept { return impl_->inherited; }
std::uint64_t DeltaTracker::unresolved_forks() const noexcept { return impl_->unresolved; }

void DeltaTrackerDeleter::operator()(DeltaTracker* tracker) const noexcept { delete tracker; }

DeltaRows reset_delta(Engine& engine) {
  const SelectionBasis& basis = basis_of(engine);
  const PlacedSelection selection = select_rows<Attribution::kPlaces>(basis);
  DeltaRows out;
  out.reset = true;
  out.added.reserve(selection.rows.size());
  for (std::size_t k = 0; k < selection.rows.size(); ++k) {
    const Place& place = selection.places[k];
    out.added.push_back(AddedRow{selection.rows[k], basis.order[selection.files[k]].second,
                                 basis.order[place.file].second, place.row,
                                 static_cast<std::uint32_t>(k + 1)});
  }
  out.live = selection.rows.size();
  out.inherited_events = selection.inherited_events;
  out.unresolved_forks = selection.unresolved_forks;
  return out;
}

}  // namespace ledgerly::engine
