// Fuzzes the strict line decoder.
//
// Besides "no crash, no sanitizer report" it checks that every block kernel
// that finds the end of a skipped string agrees with the byte-at-a-time
// reference on the input (read as a string's body from its first few
// bytes on), and two cheap properties of every line that decodes:
//  - appending white space does not change the result;
//  - writing the decoded record back as JSON and decoding that again gives
//    the same record (compared through the same writer).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "parser/decode.h"
#include "parser/search.h"
#include "parser/string_end.h"

namespace {

using namespace ledgerly::parser;

void put_string(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void put_value(std::string& out, const JsonValue& v) {
  switch (v.kind) {
    case JsonValue::Kind::kNull: out += "null"; break;
    case JsonValue::Kind::kBool: out += v.boolean ? "true" : "false"; break;
    case JsonValue::Kind::kNumber: out += v.text; break;
    case JsonValue::Kind::kString: put_string(out, v.text); break;
    case JsonValue::Kind::kArray:
      out += '[';
      for (std::size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ',';
        put_value(out, v.items[i]);
      }
      out += ']';
      break;
    case JsonValue::Kind::kObject:
      out += '{';
      for (std::size_t i = 0; i < v.members.size(); ++i) {
        if (i) out += ',';
        put_string(out, v.members[i].key);
        out += ':';
        put_value(out, v.members[i].value);
      }
      out += '}';
      break;
  }
}

// Writes a record as an object holding only its present fields.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
  ~ObjectWriter() { out_ += '}'; }
  std::string& key(const char* k) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += k;
    out_ += "\":";
    return out_;
  }
  void text(const char* k, const std::optional<std::string>& v) {
    if (v) put_string(key(k), *v);
  }
  void count(const char* k, const std::optional<std::int64_t>& v) {
    if (v) key(k) += std::to_string(*v);
  }

 private:
  std::string& out_;
  bool first_ = true;
};

void put_cache(std::string& out, const Cache& c) {
  ObjectWriter w(out);
  w.count("ephemeral_5m_input_tokens", c.ephemeral_5m_input_tokens);
  w.count("ephemeral_1h_input_tokens", c.ephemeral_1h_input_tokens);
}

void put_usage(std::string& out, const Usage& u) {
  ObjectWriter w(out);
  w.count("input_tokens", u.input_tokens);
  w.count("cached_input_tokens", u.cached_input_tokens);
  w.count("output_tokens", u.output_tokens);
  w.count("reasoning_output_tokens", u.reasoning_output_tokens);
  w.count("total_tokens", u.total_tokens);
  w.count("cache_read_input_tokens", u.cache_read_input_tokens);
  w.count("cache_creation_input_tokens", u.cache_creation_input_tokens);
  if (u.cache_creation) put_cache(w.key("cache_creation"), *u.cache_creation);
  w.text("service_tier", u.service_tier);
  w.text("speed", u.speed);
}

std::string write_envelope(const Envelope& e) {
  std::string out;
  ObjectWriter w(out);
  put_string(w.key("type"), e.type);
  w.text("timestamp", e.timestamp);
  w.text("cwd", e.cwd);
  w.text("requestId", e.request_id);
  if (e.payload) {
    const Payload& p = *e.payload;
    ObjectWriter pw(w.key("payload"));
    pw.text("type", p.type);
    pw.text("id", p.id);
    pw.text("session_id", p.session_id);
    pw.text("timestamp", p.timestamp);
    pw.text("thread_source", p.thread_source);
    pw.text("parent_thread_id", p.parent_thread_id);
    pw.text("agent_path", p.agent_path);
    pw.text("model", p.model);
    pw.text("cwd", p.cwd);
    if (p.source) put_value(pw.key("source"), *p.source);
    pw.text("agent_role", p.agent_role);
    pw.text("agent_nickname", p.agent_nickname);
    pw.text("forked_from_id", p.forked_from_id);
    pw.text("service_tier", p.service_tier);
    if (p.info) {
      ObjectWriter iw(pw.key("info"));
      if (p.info->last_token_usage)
        put_usage(iw.key("last_token_usage"), *p.info->last_token_usage);
      if (p.info->total_token_usage)
        put_usage(iw.key("total_token_usage"), *p.info->total_token_usage);
      iw.text("service_tier", p.info->service_tier);
    }
  }
  if (e.message) {
    ObjectWriter mw(w.key("message"));
    mw.text("id", e.message->id);
    mw.text("model", e.message->model);
    if (e.message->usage) put_usage(mw.key("usage"), *e.message->usage);
  }
  return out;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

// Every supported string-end kernel against the reference, from the first
// four starting points of `text` (so that blocks fall at every alignment
// of a short input's features).
void check_string_end(std::string_view text) {
  const char* end = text.data() + text.size();
  for (std::size_t from = 0; from < 4 && from <= text.size(); ++from) {
    const char* p = text.data() + from;
    const char* want = find_string_end_scalar(p, end);
    for (SearchKernel k : {SearchKernel::kSse2, SearchKernel::kAvx2}) {
      if (kernel_supported(k) && find_string_end_with(k, p, end) != want)
        fail("a string-end kernel disagrees with the reference");
    }
    if (find_string_end(p, end) != want) fail("find_string_end disagrees with the reference");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  check_string_end(line);
  Envelope e;
  if (!decode_envelope(line, e)) return 0;
  const std::string written = write_envelope(e);

  Envelope padded;
  if (!decode_envelope(std::string(line) + " \t\r\n", padded))
    fail("trailing white space rejected");
  if (write_envelope(padded) != written) fail("trailing white space changed the record");

  Envelope again;
  if (!decode_envelope(written, again)) fail("written record does not decode");
  if (write_envelope(again) != written) fail("written record decodes differently");
  return 0;
}
