// Context: the per-file parsing state carried from line to line, with the
// memo of recent model names of the message dialect.
#ifndef LEDGERLY_PARSER_CONTEXT_H_
#define LEDGERLY_PARSER_CONTEXT_H_

#include <cstddef>
#include <cstdint>
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
  std::vector<SharedText> parents;  // no duplicates, in order of first appearance
  // The texts of `parents` once there are more than a few, so that a file
  // naming many sessions costs a logarithmic lookup per header instead of a
  // pass over all of them.  Views into the parents' own (shared, immutable)
  // texts; empty while `parents` is short.
  std::set<std::string_view> parent_index;
  SharedText model;  // normalised; "unknown" in a fresh context
  SharedText project;
  SharedText session_id;
  bool subagent = false;
  bool has_session = false;

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
    // Every fresh context starts from one shared "unknown" text.
    static const SharedText unknown("unknown");
    Context c;
    c.model = unknown;
    c.project = SharedText(project);
    c.subagent = sub;
    return c;
  }
};

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_CONTEXT_H_
