// Typed records decoded from one session-log line.
//
// Every record owns its texts and nested records; nothing points back into
// the line buffer, so a decoded Envelope outlives the line it came from.
// Field order inside each record is the declaration order used by the
// array form of the line format (a record written as a JSON array lists its
// fields by position in this order).
#ifndef LEDGERLY_PARSER_RECORDS_H_
#define LEDGERLY_PARSER_RECORDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ledgerly::parser {

struct JsonMember;

// An untyped JSON value kept whole (used for Payload.source only).
// Numbers keep their source text; inside an object a repeated key keeps its
// last value (find() returns the last member of that name).
struct JsonValue {
  enum class Kind : std::uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  std::string text;                 // number text, or the decoded string
  std::vector<JsonValue> items;     // Array
  std::vector<JsonMember> members;  // Object, in text order

  bool is_object() const noexcept { return kind == Kind::kObject; }
  // The last member named `key`, or nullptr.
  const JsonValue* find(std::string_view key) const noexcept;
};

// One member of a JSON object: its decoded key and value.
struct JsonMember {
  JsonMember(std::string k, JsonValue v) : key(std::move(k)), value(std::move(v)) {}
  std::string key;
  JsonValue value;
};

inline const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  for (auto it = members.rbegin(); it != members.rend(); ++it)
    if (it->key == key) return &it->value;
  return nullptr;
}

struct Cache {
  std::optional<std::int64_t> ephemeral_5m_input_tokens;
  std::optional<std::int64_t> ephemeral_1h_input_tokens;
};

struct Usage {
  std::optional<std::int64_t> input_tokens;
  std::optional<std::int64_t> cached_input_tokens;
  std::optional<std::int64_t> output_tokens;
  std::optional<std::int64_t> reasoning_output_tokens;
  std::optional<std::int64_t> total_tokens;
  std::optional<std::int64_t> cache_read_input_tokens;
  std::optional<std::int64_t> cache_creation_input_tokens;
  std::optional<Cache> cache_creation;
  std::optional<std::string> service_tier;
  std::optional<std::string> speed;
};

struct Info {
  std::optional<Usage> last_token_usage;
  std::optional<Usage> total_token_usage;
  std::optional<std::string> service_tier;
};

struct Message {
  std::optional<std::string> id;
  std::optional<std::string> model;
  std::optional<Usage> usage;
};

struct Payload {
  std::optional<std::string> type;
  std::optional<std::string> id;
  std::optional<std::string> session_id;
  std::optional<std::string> timestamp;
  std::optional<std::string> thread_source;
  std::optional<std::string> parent_thread_id;
  std::optional<std::string> agent_path;
  std::optional<std::string> model;
  std::optional<std::string> cwd;
  std::optional<JsonValue> source;
  std::optional<std::string> agent_role;
  std::optional<std::string> agent_nickname;
  std::optional<std::string> forked_from_id;
  std::optional<Info> info;
  std::optional<std::string> service_tier;
};

struct Envelope {
  std::string type;  // empty when the key is absent; null is a decode error
  std::optional<std::string> timestamp;
  std::optional<std::string> cwd;
  std::optional<Payload> payload;
  std::optional<Message> message;
  std::optional<std::string> request_id;  // JSON key "requestId"
};

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_RECORDS_H_
