// The refresh driver: removal and planning passes, the job order, the merge
// of the workers' results, the statistics and the export decision.
//
// States move (as unique_ptr) from `files` into jobs, through the workers
// and back; nothing is copied.  An unchanged file costs one lookup in
// `files` and three comparisons.
#include "engine/driver.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "engine/delta.h"
#include "engine/delta_export.h"
#include "engine/reader.h"
#include "engine/report.h"
#include "engine/seeded_hash.h"
#include "engine/worker_pool.h"
#include "parser/counters.h"
#include "parser/shared_text.h"
#include "platform/memory.h"

namespace ledgerly::engine {
namespace {

constexpr std::uint64_t kMaxWorkers = 32;

// A delta hands the heap back to the system after reading at least this
// much (or when it hands over everything).
constexpr std::uint64_t kTrimAfterBytes = std::uint64_t{64} << 20;

// The set of manifest paths, as an open-addressing table of pointers to the
// manifest's own path texts (which must outlive it and stay in place).
class PathSet {
 public:
  explicit PathSet(const std::vector<ManifestEntry>& manifest)
      : slots_(std::bit_ceil(manifest.size() * 2 + 2), nullptr), mask_(slots_.size() - 1) {
    for (const ManifestEntry& entry : manifest) {
      std::size_t i = hash_(entry.path) & mask_;
      while (slots_[i] != nullptr && *slots_[i] != entry.path) i = (i + 1) & mask_;
      slots_[i] = &entry.path;
    }
  }

  bool contains(std::string_view path) const noexcept {
    std::size_t i = hash_(path) & mask_;
    while (slots_[i] != nullptr) {
      if (*slots_[i] == path) return true;
      i = (i + 1) & mask_;
    }
    return false;
  }

 private:
  SeededHash hash_;
  std::vector<const std::string_view*> slots_;
  std::size_t mask_;
};

std::uint64_t pending_bytes(const Job& job) {
  if (job.previous == nullptr) return job.input.size;
  std::uint64_t offset = job.previous->offset;
  return offset > job.input.size ? 0 : job.input.size - offset;
}

void store_sums(const StateSums& sums, Report& report) {
  report.counters = sums.counts;
  report.pending_files = sums.pending_files;
}

// A file whose latest read failed is never unchanged: its entry may well be
// the same as before, but the rest of it still has to be read.
bool unchanged(const FileState& stored, const ManifestEntry& entry) {
  return !stored.retry && stored.size == entry.size && stored.mtime_ns == entry.mtime_ns &&
         stored.identity() == entry.identity;
}

// A state taken out of the table for good: handed to the delta tracker
// when one is watching (it must see the rows leave), destroyed otherwise.
void retire(std::unique_ptr<FileState> state, StateChanges* changes) {
  if (changes != nullptr && state != nullptr) changes->retired.push_back(std::move(state));
}

// Drops the states of paths that are not in `manifest`, then turns every
// entry that is not unchanged into a job (with its path's state, if any),
// in manifest order.  This is the plain form of `plan`, used when the
// manifest names a path twice: a state taken by the first entry of a path
// leaves its slot released, so a later entry of the same path finds nothing
// and becomes a job of its own.
void plan_with_duplicates(FileTable& files, const std::vector<ManifestEntry>& manifest,
                          std::vector<Job>& jobs, Report& report, StateChanges* changes) {
  if (manifest.empty() && changes == nullptr) {
    report.removed = files.size();
    files.clear();
    return;
  }
  {
    PathSet paths(manifest);
    for (std::size_t i = 0; i < files.slot_count(); ++i) {
      const FileState* state = files.state_at(i);
      if (state != nullptr && !paths.contains(state->path())) {
        retire(files.release(i), changes);
        ++report.removed;
      }
    }
  }
  for (const ManifestEntry& entry : manifest) {
    const std::size_t i = files.index_of(entry.path);
    if (i == FileTable::kNone) {
      jobs.push_back(Job{entry.to_input(), nullptr});
    } else if (!unchanged(*files.state_at(i), entry)) {
      jobs.push_back(Job{entry.to_input(), files.release(i)});
    }
  }
  files.purge();
}

// The same result as `plan_with_duplicates`, with one lookup per manifest
// entry and no hashing of stored paths.  A first pass only finds each
// entry's slot and marks it, so a slot marked twice reveals a repeated path
// before anything has moved; the slots left unmarked are exactly the files
// that left the manifest.  A second pass then hands the changed states to
// jobs and drops the stale ones, and one purge packs the table.
//
// Returns true when `kept` holds the sums of every state left in `files`
// (the unchanged ones), so that the caller need not visit them again.
bool plan(FileTable& files, const std::vector<ManifestEntry>& manifest, std::vector<Job>& jobs,
          Report& report, StateSums& kept, StateChanges* changes) {
  if (files.empty()) {
    jobs.reserve(manifest.size());
    for (const ManifestEntry& entry : manifest) jobs.push_back(Job{entry.to_input(), nullptr});
    return true;
  }
  // Whether each found entry is unchanged, with the sums of those states,
  // settled while the lookup has their fields in cache.
  struct Check {
    const std::vector<ManifestEntry>& manifest;
    std::vector<unsigned char> unchanged;
    StateSums sums;
  } check{manifest, std::vector<unsigned char>(manifest.size(), 0), {}};
  std::vector<std::size_t> found;
  files.index_all(
      manifest, found,
      [](void* context, std::size_t k, const FileState& state) {
        Check& c = *static_cast<Check*>(context);
        if (unchanged(state, c.manifest[k])) {
          c.unchanged[k] = 1;
          c.sums.add(state);
        }
      },
      &check);
  std::vector<unsigned char> marked(files.slot_count(), 0);
  for (std::size_t i = 0; i < manifest.size(); ++i) {
    const std::size_t slot = found[i];
    if (slot == FileTable::kNone) continue;
    if (marked[slot] != 0) {
      plan_with_duplicates(files, manifest, jobs, report, changes);
      return false;
    }
    marked[slot] = 1;
  }

  std::size_t unchanged_count = 0;
  for (std::size_t i = 0; i < manifest.size(); ++i) {
    const std::size_t slot = found[i];
    if (slot == FileTable::kNone) {
      jobs.push_back(Job{manifest[i].to_input(), nullptr});
    } else if (check.unchanged[i] != 0) {
      ++unchanged_count;
    } else {
      jobs.push_back(Job{manifest[i].to_input(), files.release(slot)});
    }
  }
  kept = check.sums;
  if (files.size() > unchanged_count) {
    for (std::size_t slot = 0; slot < marked.size(); ++slot) {
      if (marked[slot] == 0 && files.state_at(slot) != nullptr) {
        retire(files.release(slot), changes);
        ++report.removed;
      }
    }
  }
  files.purge();
  return true;
}

// Plans a refresh told only what changed: the states of `removed` paths
// are taken out, and every entry of `manifest` that is not unchanged
// becomes a job; no other stored state is looked at.  `sums` (every
// stored state's) loses the states that leave the table.
void plan_partial(FileTable& files, const std::vector<ManifestEntry>& manifest,
                  const std::vector<std::string>& removed, std::vector<Job>& jobs, Report& report,
                  StateChanges* changes, StateSums& sums) {
  for (const std::string& path : removed) {
    const std::size_t i = files.index_of(path);
    if (i == FileTable::kNone) continue;
    sums.remove(*files.state_at(i));
    retire(files.release(i), changes);
    ++report.removed;
  }
  for (const ManifestEntry& entry : manifest) {
    // A path listed twice finds its slot released the second time, and
    // becomes a job of its own, as in a whole manifest.
    const std::size_t i = files.index_of(entry.path);
    if (i == FileTable::kNone) {
      jobs.push_back(Job{entry.to_input(), nullptr});
    } else if (!unchanged(*files.state_at(i), entry)) {
      sums.remove(*files.state_at(i));
      jobs.push_back(Job{entry.to_input(), files.release(i)});
    }
  }
  files.purge();
}

// Gives the jobs of one project one shared project text, so that the
// fresh states of a tree's files do not each hold a copy.
void share_projects(std::vector<Job>& jobs) {
  std::unordered_map<std::string_view, parser::SharedText, SeededHash, TextEqual> texts;
  const Job* previous = nullptr;
  for (Job& job : jobs) {
    if (previous != nullptr && previous->input.project == job.input.project) {
      job.project = previous->project;  // runs of one project are the usual case
    } else {
      auto [it, inserted] = texts.try_emplace(job.input.project);
      if (inserted) it->second = parser::SharedText(job.input.project);
      job.project = it->second;
    }
    previous = &job;
  }
}

// Brings the stored states in line with `manifest`: drops the files that
// left it, reads every changed file, merges the results and fills the
// statistics of the state (everything but the fork counts of an export).
// With `changes`, every state taken out of the table is kept there, and
// every state a job returned is listed, for the delta tracker.
Report update_state(Engine& engine, Manifest manifest, std::uint64_t workers, StateChanges* changes,
                    const std::vector<std::string>* removed = nullptr) {
  FileTable& files = engine.files;
  Report report;
  report.scanned = manifest.entries.size();

  // Forget the files that left the manifest; every entry that is not
  // unchanged becomes a job, taking its path's stored state with it.
  JobList list;
  StateSums sums;
  bool sums_exact = true;
  if (removed != nullptr) {
    if (!engine.sums_known) {
      files.for_each([&sums](const FileState& state) { sums.add(state); });
    } else {
      sums = engine.sums;
    }
    plan_partial(files, manifest.entries, *removed, list.jobs, report, changes, sums);
  } else {
    sums_exact = plan(files, manifest.entries, list.jobs, report, sums, changes);
  }
  report.changed = list.jobs.size();
  // Jobs own copies of their entries: the manifest (and the text its
  // entries view) is not looked at again.
  manifest = Manifest();
  share_projects(list.jobs);
  if (changes != nullptr) {
    for (Job& job : list.jobs) job.keep_previous = true;
  }

  // Workers take from the end: the most pending bytes first, and among
  // equals the later manifest entry first.
  std::stable_sort(list.jobs.begin(), list.jobs.end(),
                   [](const Job& a, const Job& b) { return pending_bytes(a) < pending_bytes(b); });

  std::size_t count = static_cast<std::size_t>(std::clamp<std::uint64_t>(workers, 1, kMaxWorkers));
  std::vector<WorkerResult> results = run_pool(list, count);

  for (WorkerResult& r : results) {
    if (r.failed) {
      std::string line = r.path;
      line += ": ";
      line += r.error;
      report.errors.push_back(std::move(line));
      report.updated = true;
    } else {
      report.bytes_read += r.summary.bytes_read;
      if (r.summary.rebuilt) {
        ++report.rebuilt;
      } else {
        ++report.appended;
      }
      if (r.summary.rows_changed) report.updated = true;
    }
    if (changes != nullptr && r.retired != nullptr)
      changes->retired.push_back(std::move(r.retired));
    if (r.state != nullptr) {
      FileState& merged = *r.state;
      if (changes != nullptr) {
        // A path listed twice: the state merged first gives way to this one.
        if (std::unique_ptr<FileState> displaced = files.take(merged.path())) {
          std::erase_if(changes->changed, [&displaced](const StateChanges::Changed& c) {
            return c.state == displaced.get();
          });
          if (sums_exact) sums.remove(*displaced);
          changes->retired.push_back(std::move(displaced));
        }
        changes->changed.push_back(StateChanges::Changed{&merged, r.replaced_from});
      }
      if (!files.insert_or_assign(std::move(r.state))) {
        sums_exact = false;  // replaced a state that may have been counted
      } else if (sums_exact) {
        sums.add(merged);
      }
    }
  }

  // The jobs and results (copies of the entries, paths of the results) are
  // done with: free them before the export rather than after, and hand the
  // heap that reading left free back to the system, so that the export's
  // row buffer does not come on top of it.  After a refresh that read
  // nothing there is nothing to hand back.
  const bool read_any = !results.empty();
  std::vector<WorkerResult>().swap(results);
  std::vector<Job>().swap(list.jobs);
  if (read_any && changes == nullptr) platform::release_free_heap();

  if (report.removed != 0 || !engine.refreshed) report.updated = true;
  engine.refreshed = true;
  // The caller never received the previous export: from its side the state
  // changed since the last report it saw.
  if (engine.export_pending) report.updated = true;

  // Sums over every stored file; usually already gathered while planning
  // and merging, since `files` then holds just the unchanged and the
  // merged states.
  if (!sums_exact) {
    sums = StateSums();
    files.for_each([&sums](const FileState& state) { sums.add(state); });
  }
  store_sums(sums, report);
  engine.sums = sums;
  engine.sums_known = true;
  return report;
}

}  // namespace

RefreshOutput refresh(Engine& engine, Manifest manifest, std::uint64_t workers, bool force,
                      BufferAllocator* allocator, Attribution attribution) {
  Report report = update_state(engine, std::move(manifest), workers, nullptr);
  // A delta caller's selection, and the tracker's ids, describe the state
  // before this refresh: neither holds any more.
  if (report.changed != 0 || report.removed != 0) {
    engine.tracker.reset();
    ++engine.generation;
  }

  // Every state is back in `files`: running out of memory from here on
  // loses only this call's result, never the state.
  const bool exporting = report.updated || force;
  RefreshOutput out;
  try {
    // An export replaces the engine's fork counts, so they are read after
    // it: the report shows those of this export, or of the latest one before.
    std::optional<ExportResult> exported;
    if (exporting) {
      exported = attribution == Attribution::kFiles
                     ? export_state<Attribution::kFiles>(engine, allocator)
                     : export_state<Attribution::kNone>(engine, allocator);
    }
    report.counters.inherited_events += engine.inherited_events;
    report.unresolved_forks = engine.unresolved_forks;
    if (exported) {
      write_body(out.text, *exported, report);
      out.buffer = std::move(exported->buffer);
    } else {
      out.text = "{\"scan\":";
      write_report(out.text, report);
      out.text += '}';
    }
  } catch (const std::bad_alloc&) {
    if (exporting) engine.export_pending = true;
    throw ResultOutOfMemory();
  }
  if (exporting) engine.export_pending = false;
  return out;
}

RefreshOutput refresh(Engine& engine, const std::vector<Input>& manifest, std::uint64_t workers,
                      bool force, BufferAllocator* allocator, Attribution attribution) {
  return refresh(engine, Manifest::of(manifest), workers, force, allocator, attribution);
}

DeltaOutput refresh_delta(Engine& engine, Manifest manifest, std::uint64_t workers,
                          std::uint64_t since, BufferAllocator* allocator,
                          const std::vector<std::string>* removed) {
  // A caller that holds the current generation gets what changed since; it
  // is numbered by the tracker, made first if there is none (then the
  // numbering is the export order, which is what such a caller holds).
  const bool held = since == engine.generation;
  if (!held) engine.tracker.reset();
  // A caller that holds nothing yet gets the whole selection as a reset:
  // one selection in export order, cheaper than taking every row of every
  // file as new; the tracker is made by the next delta.
  const bool empty = held && engine.tracker == nullptr && engine.files.empty();
  if (held && engine.tracker == nullptr && !empty) {
    try {
      engine.tracker.reset(DeltaTracker::build(engine).release());
    } catch (const std::bad_alloc&) {
      throw ResultOutOfMemory();  // nothing changed yet
    }
    // Making it selected every row once: hand back what that left free.
    platform::release_free_heap();
  }

  // An export owed to a caller of refresh() stays owed, but says nothing
  // about what this call changed.
  const bool owed = std::exchange(engine.export_pending, false);
  StateChanges changes;
  StateChanges* watching = engine.tracker != nullptr && !empty ? &changes : nullptr;
  Report report;
  try {
    report = update_state(engine, std::move(manifest), workers, watching, removed);
  } catch (...) {
    // States moved into read jobs may be lost: no tracker can follow.
    engine.tracker.reset();
    engine.export_pending = owed;
    throw;
  }

  DeltaOutput out;
  try {
    DeltaRows rows;
    bool tracked = false;
    if (engine.tracker != nullptr) {
      try {
        tracked = engine.tracker->apply(changes, rows);
      } catch (const std::bad_alloc&) {
        tracked = false;
      }
      if (!tracked) {
        engine.tracker.reset();
        rows = DeltaRows();
      }
    }
    // The states the refresh replaced are no longer needed by anyone.
    changes = StateChanges();
    if (!tracked) rows = reset_delta(engine);
    const bool moved = rows.reset || !rows.added.empty() || !rows.withdrawn.empty();
    if (moved) ++engine.generation;
    // A caller of refresh() has not seen this selection either.
    engine.export_pending = owed || moved;
    engine.inherited_events = rows.inherited_events;
    engine.unresolved_forks = rows.unresolved_forks;
    report.counters.inherited_events += rows.inherited_events;
    report.unresolved_forks = rows.unresolved_forks;
    // Hand a large read's free heap back before the buffer is made (see
    // refresh()); a small delta leaves little, and a trim would cost more
    // than it gives.
    if (rows.reset || report.bytes_read >= kTrimAfterBytes) platform::release_free_heap();
    DeltaExport exported = export_delta(rows, allocator);
    write_delta_body(out.text, rows, exported, report, engine.generation);
    out.buffer = std::move(exported.buffer);
  } catch (const std::bad_alloc&) {
    // The state is whole; the caller keeps its generation, which no longer
    // matches, so its next delta is a reset.
    engine.tracker.reset();
    ++engine.generation;
    engine.export_pending = true;
    throw ResultOutOfMemory();
  }
  return out;
}

DeltaOutput refresh_delta(Engine& engine, const std::vector<Input>& manifest, std::uint64_t workers,
                          std::uint64_t since, BufferAllocator* allocator,
                          const std::vector<std::string>* removed) {
  return refresh_delta(engine, Manifest::of(manifest), workers, since, allocator, removed);
}

}  // namespace ledgerly::engine
