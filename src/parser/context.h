// Context: the per-file parsing state carried from line to line, with the
// memo of recent model names of the message dialect.
#ifndef LEDGERLY_PARSER_CONTEXT_H_
#define LEDGERLY_PARSER_CONTEXT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row.h"
#include "parser/shared_text.h"

namespace ledgerly::parser {

// Per-file parsing state, owned by the file's state and changed only by parse().
struct Context {
  std::optional<Totals> snapshot;
  std::optional<std::int64_t> started;
  SharedText model;  // normalised; "unknown" in a fresh context
  SharedText project;
  SharedText session_id;
  bool subagent = false;
  bool has_session = false;

  // The sessions the file names besides its own (the one it was forked
  // from, then any others its headers name): no duplicates, in order of
  // first appearance.
  const std::vector<SharedText>& parents() const noexcept {
    static const std::vector<SharedText> none;
    return parents_ != nullptr ? parents_->list : none;
  }
  // Appends `id` unless it is there already; returns whether it did.
  bool add_parent(std::string_view id) {
    if (parents_ == nullptr) parents_ = std::make_unique<Parents>();
    return parents_->add(id);
  }

  // Message dialect only: the last few raw model names and their normalised
  // texts, so that the rows of each model a file switches between share one
  // text instead of normalising and allocating per line.  A cache, not file
  // state: empty when fresh.  Entries are added as models appear (most
  // files use one or two), so a file without message rows carries none.
  struct ModelMemo {
    static constexpr std::size_t kEntries = 8;
    struct Entry {
      std::string raw;
      SharedText model;
    };
    std::vector<Entry> entries;  // at most kEntries
    std::uint8_t last = 0;       // the entry used most recently
    std::uint8_t next = 0;       // the entry a miss replaces once full (round robin)
  };
  ModelMemo message_model;

  // The context of a file read from its start.
  static Context fresh(std::string_view project, bool sub) {
    return fresh(SharedText(project), sub);
  }
  // The same with a project text the caller may share among files.
  static Context fresh(SharedText project, bool sub) {
    // Every fresh context starts from one shared "unknown" text.
    static const SharedText unknown("unknown");
    Context c;
    c.model = unknown;
    c.project = std::move(project);
    c.subagent = sub;
    return c;
  }

 private:
  // Most files name no other session: the list lives in a block of its
  // own, made on first use.
  struct Parents {
    std::vector<SharedText> list;
    // The texts of `list` once there are more than a few, so that a file
    // naming many sessions costs a logarithmic lookup per header instead of
    // a pass over all of them.  Views into the parents' own (shared,
    // immutable) texts; empty while `list` is short.
    std::set<std::string_view> index;

    bool add(std::string_view id) {
      constexpr std::size_t kScanned = 8;  // up to this many, a plain scan is cheapest
      if (index.empty()) {
        for (const SharedText& parent : list)
          if (parent.view() == id) return false;
        list.emplace_back(id);
        if (list.size() > kScanned) {
          for (const SharedText& parent : list) index.insert(parent.view());
        }
        return true;
      }
      if (index.contains(id)) return false;
      list.emplace_back(id);
      index.insert(list.back().view());
      return true;
    }
  };
  std::unique_ptr<Parents> parents_;
};

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_CONTEXT_H_
