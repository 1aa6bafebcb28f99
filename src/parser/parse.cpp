#include "parser/parse.h"

#include <string>
#include <vector>

#include "parser/decode.h"
#include "parser/dialect.h"
#include "parser/normalize.h"
#include "parser/records.h"
#include "parser/search.h"
#include "parser/timestamp.h"

namespace ledgerly::parser {
namespace {

// Each needle's anchor is a byte that is rare in log text at that offset
// after a double quote, so few positions need a full comparison.
constexpr NeedleSet kEventNeedles{
    {"\"token_count\"", 3},    // 'k'
    {"\"turn_context\"", 11},  // 'x'
    {"\"session_meta\"", 9},   // 'm'
};
constexpr NeedleSet kMessageNeedles{{"\"usage\"", 4}};  // 'g'

const NeedleSet& needles(std::uint8_t source) noexcept {
  return is_message_dialect(source) ? kMessageNeedles : kEventNeedles;
}

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

bool present_nonempty(const std::optional<std::string>& text) { return text && !text->empty(); }

// Replaces `slot` unless it already holds `text`, so an unchanged model or
// directory keeps the one object that all its rows share.
// Files read through one `pool` share the new object.
void assign(SharedText& slot, std::string_view text, TextPool* pool) {
  if (slot.view() != text) slot = pool != nullptr ? pool->get(text) : SharedText(text);
}

void assign_model(SharedText& slot, std::string_view raw, TextPool* pool) {
  assign(slot, normalize(raw), pool);
}

// Whether the file's session was started by another agent; the first rule
// that applies decides.
bool is_subagent(const Payload& payload) {
  if (payload.thread_source && *payload.thread_source == "subagent") return true;
  if (payload.source && payload.source->is_object() && payload.source->find("subagent") != nullptr)
    return true;
  if (present_nonempty(payload.agent_role)) return true;
  if (present_nonempty(payload.agent_nickname)) return true;
  if (payload.thread_source && *payload.thread_source == "user") return false;
  if (present_nonempty(payload.parent_thread_id)) return true;
  if (payload.agent_path && payload.agent_path->starts_with("/root/")) return true;
  return false;
}

void session_meta(const Envelope& envelope, const Payload& payload, Context& context,
                  TextPool* pool) {
  std::string_view id;
  if (payload.id) {
    id = *payload.id;
  } else if (payload.session_id) {
    id = *payload.session_id;
  }

  if (context.has_session) {
    // Later lines only name related sessions.
    if (id.empty() || id == context.session_id.view()) return;
    context.add_parent(id);
    return;
  }

  // The first line fixes the session's identity, flag, origin and start.
  context.has_session = true;
  context.session_id = SharedText(id);
  if (payload.cwd) assign(context.project, *payload.cwd, pool);
  context.subagent = is_subagent(payload);
  if (present_nonempty(payload.forked_from_id)) context.add_parent(*payload.forked_from_id);
  // An unparsable payload time leaves the start unknown; it does not fall
  // back to the envelope's time.
  context.started =
      timestamp(payload.timestamp ? view_of(payload.timestamp) : view_of(envelope.timestamp));
}

std::optional<Row> token_count(const Envelope& envelope, const Payload& payload,
                               std::uint8_t source, Context& context, Counters& counters) {
  if (!payload.type || *payload.type != "token_count" || !payload.info) return std::nullopt;
  const Info& info = *payload.info;

  // Latest-turn usage; an absent record counts as all zeros.
  const Usage none;
  const Usage& last = info.last_token_usage ? *info.last_token_usage : none;
  const std::int64_t input = last.input_tokens.value_or(0);
  const std::int64_t cached = last.cached_input_tokens.value_or(0);
  const std::int64_t output = last.output_tokens.value_or(0);
  const std::int64_t reasoning = last.reasoning_output_tokens.value_or(0);
  if (input < 0 || cached < 0 || output < 0 || reasoning < 0 || cached > input ||
      reasoning > output) {
    ++counters.invalid_usage;
    return std::nullopt;
  }

  const std::optional<std::int64_t> time = timestamp(view_of(envelope.timestamp));
  if (!time) return std::nullopt;

  // The running total only recognises repeated and reset reports; the row's
  // counts are the latest turn's as logged.
  std::optional<Totals> totals;
  if (info.total_token_usage) {
    const Usage& total = *info.total_token_usage;
    const Totals now{total.input_tokens.value_or(0), total.cached_input_tokens.value_or(0),
                     total.output_tokens.value_or(0), total.reasoning_output_tokens.value_or(0),
                     total.total_tokens.value_or(0)};
    if (context.snapshot) {
      const Totals& before = *context.snapshot;
      if (now == before) {
        ++counters.duplicate_snapshots;
        return std::nullopt;
      }
      if (now[0] < before[0] || now[2] < before[2]) ++counters.cumulative_resets;
    }
    context.snapshot = now;
    totals = now;
  }

  if (input == 0 && output == 0) return std::nullopt;

  // Events before the session's own start were carried over from another
  // session's history.
  if (context.started && *time < *context.started) {
    ++counters.inherited_events;
    return std::nullopt;
  }

  // Presence decides: an unrecognised info tier does not fall back.
  const std::uint8_t tier_code =
      info.service_tier ? tier(*info.service_tier) : tier(view_of(payload.service_tier));

  return Row::event(*time, context.model, context.project, source, context.subagent, tier_code,
                    input, cached, output, reasoning, totals ? &*totals : nullptr);
}

std::optional<Row> parse_event(Envelope& envelope, std::uint8_t source, Context& context,
                               Counters& counters, TextPool* pool) {
  const bool turn = envelope.type == "turn_context";
  const bool meta = !turn && envelope.type == "session_meta";
  const bool event = !turn && !meta && envelope.type == "event_msg";
  if (!turn && !meta && !event) return std::nullopt;
  if (!envelope.payload) envelope.payload.emplace();
  const Payload& payload = *envelope.payload;

  if (turn) {
    if (payload.model) assign_model(context.model, *payload.model, pool);
    if (payload.cwd) assign(context.project, *payload.cwd, pool);
    return std::nullopt;
  }
  if (meta) {
    session_meta(envelope, payload, context, pool);
    return std::nullopt;
  }
  return token_count(envelope, payload, source, context, counters);
}

// write5m + max(0, creation - (write5m + write1h)) in 64-bit two's-complement
// arithmetic where every step wraps on overflow.  With all three inputs
// non-negative this is the exact value, except when write5m + write1h passes
// the signed range: then either the difference wraps negative (clamped to 0,
// giving write5m, the exact value too) or it stays positive and the final
// sum wraps negative, which the caller rejects.  Unsigned arithmetic makes
// the wrapping defined.
std::int64_t cache_write_5m(std::int64_t write5m, std::int64_t write1h, std::int64_t creation) {
  const auto wrap = [](std::uint64_t v) { return static_cast<std::int64_t>(v); };
  const auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
  const std::int64_t breakdown = wrap(u(write5m) + u(write1h));
  const std::int64_t rest = wrap(u(creation) - u(breakdown));
  return wrap(u(write5m) + u(rest > 0 ? rest : 0));
}

// The normalised model of a message line.  A raw name seen recently reuses
// its memo entry; a new one is normalised once, and shares the text of an
// entry that normalises alike ("Alpha-4" and "alpha-4").
const SharedText& message_model(Context& context, std::string_view raw, TextPool* pool) {
  Context::ModelMemo& memo = context.message_model;
  std::vector<Context::ModelMemo::Entry>& entries = memo.entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].model.empty() && entries[i].raw == raw) {
      memo.last = static_cast<std::uint8_t>(i);
      return entries[i].model;
    }
  }
  const std::string normal = normalize(raw);
  SharedText model;
  for (const Context::ModelMemo::Entry& other : entries) {
    if (!other.model.empty() && other.model.view() == normal) {
      model = other.model;
      break;
    }
  }
  if (model.empty()) model = pool != nullptr ? pool->get(normal) : SharedText(normal);
  constexpr std::size_t kEntries = Context::ModelMemo::kEntries;
  std::size_t slot = entries.size();
  if (slot < kEntries) {
    entries.push_back(Context::ModelMemo::Entry{std::string(raw), std::move(model)});
  } else {
    slot = memo.next;
    if (slot == memo.last) slot = (slot + 1) % kEntries;  // keep the latest model
    memo.next = static_cast<std::uint8_t>((slot + 1) % kEntries);
    entries[slot].raw.assign(raw);
    entries[slot].model = std::move(model);
  }
  memo.last = static_cast<std::uint8_t>(slot);
  return entries[slot].model;
}

std::optional<Row> parse_message(const Envelope& envelope, Context& context, Counters& counters,
                                 TextPool* pool) {
  if (envelope.type != "assistant") return std::nullopt;
  if (!envelope.message || !envelope.message->usage) return std::nullopt;
  const Message& message = *envelope.message;

  const SharedText& model =
      message_model(context, message.model ? std::string_view(*message.model) : "unknown", pool);
  if (model == "unknown" || model == "<synthetic>") return std::nullopt;

  const Usage& usage = *message.usage;
  const std::int64_t input = usage.input_tokens.value_or(0);
  const std::int64_t output = usage.output_tokens.value_or(0);
  const std::int64_t cache_read = usage.cache_read_input_tokens.value_or(0);
  const std::int64_t creation = usage.cache_creation_input_tokens.value_or(0);
  std::int64_t write5m = 0;
  std::int64_t write1h = 0;
  if (usage.cache_creation) {
    write5m = usage.cache_creation->ephemeral_5m_input_tokens.value_or(0);
    write1h = usage.cache_creation->ephemeral_1h_input_tokens.value_or(0);
  }
  if (input < 0 || output < 0 || write5m < 0 || write1h < 0 || cache_read < 0 || creation < 0) {
    ++counters.invalid_usage;
    return std::nullopt;
  }
  const std::int64_t booked5m = cache_write_5m(write5m, write1h, creation);
  if (booked5m < 0) {
    ++counters.invalid_usage;
    return std::nullopt;
  }

  // The directory applies even when the line is dropped below.
  if (envelope.cwd) assign(context.project, *envelope.cwd, pool);

  std::string_view key = "";  // never a null data pointer: the row copies it
  if (message.id) {
    key = *message.id;
  } else if (envelope.request_id) {
    key = *envelope.request_id;
  }

  const std::uint8_t tier_code =
      usage.speed && *usage.speed == "fast" ? std::uint8_t{2} : tier(view_of(usage.service_tier));

  const std::optional<std::int64_t> time = timestamp(view_of(envelope.timestamp));
  if (!time) return std::nullopt;

  return Row::message(*time, model, context.project, context.subagent, tier_code, input, output,
                      booked5m, write1h, cache_read, key);
}

}  // namespace

bool prefilter(std::string_view line, std::uint8_t source) noexcept {
  return contains_any(line, needles(source));
}

std::size_t find_needle(std::string_view text, std::uint8_t source) noexcept {
  return find_any(text, needles(source));
}

std::optional<Row> parse(std::string_view line, std::uint8_t source, Context& context,
                         Counters& counters, TextPool* pool) {
  if (!prefilter(line, source)) return std::nullopt;
  return parse_found(line, source, context, counters, pool);
}

std::optional<Row> parse_found(std::string_view line, std::uint8_t source, Context& context,
                               Counters& counters, TextPool* pool) {
  Envelope envelope;
  if (!decode_envelope(line, envelope)) {
    ++counters.malformed;
    return std::nullopt;
  }
  if (is_message_dialect(source)) return parse_message(envelope, context, counters, pool);
  return parse_event(envelope, source, context, counters, pool);
}

}  // namespace ledgerly::parser
