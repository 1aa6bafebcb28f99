// Field-by-field decoding of a log line into the typed records.
//
// Each record type has a table of its fields in declaration order; the same
// table drives the object form (members matched by key, each known key at
// most once) and the array form (elements matched by position, exactly one
// per field).  Values are decoded straight from the line's bytes; unknown
// members are validated and skipped by the reader without building anything.
#include "parser/decode.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "parser/json_reader.h"

namespace ledgerly::parser {

namespace {

using json::Reader;

// Reads one field's value into the record.  `open` is the number of
// containers open around the value, the record's own included.
template <class R>
using FieldReader = bool (*)(Reader&, R&, int open);

template <class R>
struct Field {
  std::string_view key;
  FieldReader<R> read;
};

template <class R>
struct Schema;  // static constexpr Field<R> fields[] in field order

template <class R>
bool decode_record(Reader& r, R& rec, int open);

// --- value kinds -----------------------------------------------------------

// Text that may not be null (Envelope.type).
template <class R, std::string R::*M>
bool text(Reader& r, R& rec, int) {
  return r.read_string(rec.*M);
}

template <class R, std::optional<std::string> R::*M>
bool optional_text(Reader& r, R& rec, int) {
  if (r.peek() == 'n') return r.read_null();
  return r.read_string((rec.*M).emplace());
}

template <class R, std::optional<std::int64_t> R::*M>
bool optional_count(Reader& r, R& rec, int) {
  if (r.peek() == 'n') return r.read_null();
  std::int64_t v;
  if (!r.read_int64(v)) return false;
  rec.*M = v;
  return true;
}

template <class R, class Sub, std::optional<Sub> R::*M>
bool optional_record(Reader& r, R& rec, int open) {
  if (r.peek() == 'n') return r.read_null();
  return decode_record(r, (rec.*M).emplace(), open);
}

template <class R, std::optional<JsonValue> R::*M>
bool optional_value(Reader& r, R& rec, int open) {
  if (r.peek() == 'n') return r.read_null();
  return r.read_value((rec.*M).emplace(), open);
}

// --- record layouts --------------------------------------------------------

template <>
struct Schema<Cache> {
  static constexpr Field<Cache> fields[] = {
      {"ephemeral_5m_input_tokens", optional_count<Cache, &Cache::ephemeral_5m_input_tokens>},
      {"ephemeral_1h_input_tokens", optional_count<Cache, &Cache::ephemeral_1h_input_tokens>},
  };
};

template <>
struct Schema<Usage> {
  static constexpr Field<Usage> fields[] = {
      {"input_tokens", optional_count<Usage, &Usage::input_tokens>},
      {"cached_input_tokens", optional_count<Usage, &Usage::cached_input_tokens>},
      {"output_tokens", optional_count<Usage, &Usage::output_tokens>},
      {"reasoning_output_tokens", optional_count<Usage, &Usage::reasoning_output_tokens>},
      {"total_tokens", optional_count<Usage, &Usage::total_tokens>},
      {"cache_read_input_tokens", optional_count<Usage, &Usage::cache_read_input_tokens>},
      {"cache_creation_input_tokens", optional_count<Usage, &Usage::cache_creation_input_tokens>},
      {"cache_creation", optional_record<Usage, Cache, &Usage::cache_creation>},
      {"service_tier", optional_text<Usage, &Usage::service_tier>},
      {"speed", optional_text<Usage, &Usage::speed>},
  };
};

template <>
struct Schema<Info> {
  static constexpr Field<Info> fields[] = {
      {"last_token_usage", optional_record<Info, Usage, &Info::last_token_usage>},
      {"total_token_usage", optional_record<Info, Usage, &Info::total_token_usage>},
      {"service_tier", optional_text<Info, &Info::service_tier>},
  };
};

template <>
struct Schema<Message> {
  static constexpr Field<Message> fields[] = {
      {"id", optional_text<Message, &Message::id>},
      {"model", optional_text<Message, &Message::model>},
      {"usage", optional_record<Message, Usage, &Message::usage>},
  };
};

template <>
struct Schema<Payload> {
  static constexpr Field<Payload> fields[] = {
      {"type", optional_text<Payload, &Payload::type>},
      {"id", optional_text<Payload, &Payload::id>},
      {"session_id", optional_text<Payload, &Payload::session_id>},
      {"timestamp", optional_text<Payload, &Payload::timestamp>},
      {"thread_source", optional_text<Payload, &Payload::thread_source>},
      {"parent_thread_id", optional_text<Payload, &Payload::parent_thread_id>},
      {"agent_path", optional_text<Payload, &Payload::agent_path>},
      {"model", optional_text<Payload, &Payload::model>},
      {"cwd", optional_text<Payload, &Payload::cwd>},
      {"source", optional_value<Payload, &Payload::source>},
      {"agent_role", optional_text<Payload, &Payload::agent_role>},
      {"agent_nickname", optional_text<Payload, &Payload::agent_nickname>},
      {"forked_from_id", optional_text<Payload, &Payload::forked_from_id>},
      {"info", optional_record<Payload, Info, &Payload::info>},
      {"service_tier", optional_text<Payload, &Payload::service_tier>},
  };
};

template <>
struct Schema<Envelope> {
  static constexpr Field<Envelope> fields[] = {
      {"type", text<Envelope, &Envelope::type>},
      {"timestamp", optional_text<Envelope, &Envelope::timestamp>},
      {"cwd", optional_text<Envelope, &Envelope::cwd>},
      {"payload", optional_record<Envelope, Payload, &Envelope::payload>},
      {"message", optional_record<Envelope, Message, &Envelope::message>},
      {"requestId", optional_text<Envelope, &Envelope::request_id>},
  };
};

// --- decoding --------------------------------------------------------------

template <class R>
constexpr std::size_t kFieldCount = sizeof(Schema<R>::fields) / sizeof(Schema<R>::fields[0]);

// Index of the field named `key`, or -1 for an unknown key.
template <class R>
int find_field(std::string_view key) noexcept {
  for (std::size_t i = 0; i < kFieldCount<R>; ++i) {
    const std::string_view k = Schema<R>::fields[i].key;
    if (k.size() == key.size() && std::memcmp(k.data(), key.data(), k.size()) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

// The cursor is on the record's '{'.
template <class R>
bool decode_object(Reader& r, R& rec, int open) {
  static_assert(kFieldCount<R> <= 32, "seen-mask holds 32 fields");
  std::uint32_t seen = 0;
  json::Step step = r.enter(true);
  while (step == json::Step::kNext) {
    std::string_view key;
    if (!r.read_key(key) || !r.colon()) return false;
    const int i = find_field<R>(key);
    if (i < 0) {
      if (!r.skip_value()) return false;
    } else {
      const std::uint32_t bit = std::uint32_t{1} << i;
      if ((seen & bit) != 0) return false;  // a known key may appear once
      seen |= bit;
      if (!Schema<R>::fields[i].read(r, rec, open)) return false;
    }
    step = r.next(true);
  }
  return step == json::Step::kClosed;
}

// The cursor is on the record's '['; exactly one element per field.
template <class R>
bool decode_array(Reader& r, R& rec, int open) {
  json::Step step = r.enter(false);
  for (std::size_t i = 0; i < kFieldCount<R>; ++i) {
    if (step != json::Step::kNext) return false;
    if (!Schema<R>::fields[i].read(r, rec, open)) return false;
    step = r.next(false);
  }
  return step == json::Step::kClosed;
}

// Decodes a record written as an object or an array; `open` containers
// already surround it.
template <class R>
bool decode_record(Reader& r, R& rec, int open) {
  if (open >= Reader::kMaxDepth) return false;
  switch (r.peek()) {
    case '{': return decode_object(r, rec, open + 1);
    case '[': return decode_array(r, rec, open + 1);
    default: return false;
  }
}

}  // namespace

bool decode_envelope(std::string_view line, Envelope& out) {
  out = Envelope{};
  Reader r(line);
  r.skip_ws();
  if (!decode_record(r, out, 0)) return false;
  r.skip_ws();
  return r.at_end();
}

}  // namespace ledgerly::parser
