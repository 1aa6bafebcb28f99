#include "parser/decode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace ledgerly::parser {
namespace {

using namespace std::string_literals;

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

bool decodes(std::string_view line) {
  Envelope e;
  return decode_envelope(line, e);
}

struct Case {
  const char* line;
  bool ok;
};

// Syntax, white space, kinds, repeated keys, numbers and strings.
TEST(DecodeEnvelope, AcceptsOrRejectsWholeLines) {
  const Case cases[] = {
      // top level and white space
      {"{}", true},
      {" \t{}\r\n", true},
      {"\f{}", false},            // form feed is not white space
      {"\xEF\xBB\xBF{}", false},  // byte-order mark
      {"{}\v", false},
      {"", false},
      {"  \n", false},
      {"null", false},
      {"\"assistant\"", false},
      {"7", false},
      {"{}{}", false},
      {"{} {}", false},
      {"{},", false},
      {"{\"type\":\"a\"", false},
      {"{\"type\":\"a", false},
      {"{\"type\" \"a\"}", false},
      {"{\"type\":\"a\" \"cwd\":\"b\"}", false},
      {"{\"type\":\"a\",}", false},
      {"{,}", false},
      {"{\"type\":\"a\"}]", false},
      {"{ \"type\" : \"a\" , \"cwd\" : null }", true},
      // kinds and null
      {"{\"type\":null}", false},
      {"{\"type\":\"x\",\"payload\":null}", true},
      {"{\"type\":1}", false},
      {"{\"cwd\":true}", false},
      {"{\"cwd\":[\"a\"]}", false},
      {"{\"payload\":\"x\"}", false},
      {"{\"payload\":7}", false},
      {"{\"message\":{\"usage\":true}}", false},
      {"{\"Type\":null}", true},  // keys are case-sensitive: unknown, skipped
      // repeated keys
      {"{\"type\":\"a\",\"type\":\"b\"}", false},
      {"{\"timestamp\":null,\"timestamp\":\"t\"}", false},
      {"{\"payload\":{\"info\":null,\"info\":null}}", false},
      {"{\"type\":\"a\",\"extra\":1,\"extra\":2}", true},
      {"{\"type\":\"a\",\"\\u0074ype\":\"b\"}", false},  // escaped key is the same key
      // counts
      {"{\"message\":{\"usage\":{\"input_tokens\":5.0}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":1e3}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":1E3}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":\"5\"}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":9223372036854775808}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":-9223372036854775809}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":99999999999999999999999}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":92233720368547758080}}}",
       false},  // 2^63*10 wraps to 0
      {"{\"message\":{\"usage\":{\"input_tokens\":-18446744073709551617}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":01}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":-}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":+1}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":true}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":[1]}}}", false},
      {"{\"message\":{\"usage\":{\"input_tokens\":-0}}}", true},
      // skipped values must be well-formed
      {"{\"x\":[1,2}", false},
      {"{\"x\":{\"a\":1]}", false},
      {"{\"x\":[1,]}", false},
      {"{\"x\":{\"a\":1,}}", false},
      {"{\"x\":{\"a\"}}", false},
      {"{\"x\":{1:2}}", false},
      {"{\"x\":[[[]]]}", true},
      {"{\"x\":{\"a\":{\"b\":[{}]}},\"type\":\"t\"}", true},
      {"{\"x\":01}", false},
      {"{\"x\":1.}", false},
      {"{\"x\":.5}", false},
      {"{\"x\":1e}", false},
      {"{\"x\":-1.5E+10}", true},
      {"{\"x\":tru}", false},
      {"{\"x\":nul}", false},
      {"{\"x\":\"a\\q\"}", false},
      {"{\"x\":\"a\\u12\"}", false},
      {"{\"x\":\"a\\u12g4\"}", false},
      {"{\"x\":\"raw\ttab\"}", false},
      {"{\"x\":\"unterminated}", false},
      {"{\"x\":\"\\ud800\"}", true},  // lone surrogate escape: well-formed, not decoded
      {"{\"x\":\"\xff\"}", true},     // bytes of a skipped string are not decoded
      // decoded strings: escapes, surrogates and UTF-8
      {"{\"type\":\"\\ud800\"}", false},
      {"{\"type\":\"\\udc00\"}", false},
      {"{\"type\":\"\\ud800\\u0041\"}", false},
      {"{\"type\":\"\\ud800x\"}", false},
      {"{\"type\":\"\\ud83d\\ude00\"}", true},
      {"{\"type\":\"\\x\"}", false},
      {"{\"type\":\"\xff\"}", false},
      {"{\"type\":\"\xc0\x80\"}", false},          // overlong
      {"{\"type\":\"\xe0\x80\xaf\"}", false},      // overlong
      {"{\"type\":\"\xed\xa0\x80\"}", false},      // encoded surrogate
      {"{\"type\":\"\xf4\x90\x80\x80\"}", false},  // above U+10FFFF
      {"{\"type\":\"\xe2\x82\"}", false},          // cut short
      {"{\"type\":\"\x80\"}", false},              // stray continuation byte
      {"{\"type\":\"\xe2\x82\xac \xf0\x9f\x98\x80\"}", true},
      {"{\"\xff\":1}", false},  // unknown keys are decoded too
      {"{\"type\":\"a\x01\"}", false},
      // Payload.source takes any value
      {"{\"payload\":{\"source\":{\"subagent\":{\"x\":1}}}}", true},
      {"{\"payload\":{\"source\":\"x\"}}", true},
      {"{\"payload\":{\"source\":7}}", true},
      {"{\"payload\":{\"source\":[true,false,null,-2.5e3]}}", true},
      {"{\"payload\":{\"source\":[1,]}}", false},
      {"{\"payload\":{\"source\":01}}", false},
      {"{\"payload\":{\"source\":\"\\ud800\"}}", false},
  };
  for (const Case& c : cases) EXPECT_EQ(decodes(c.line), c.ok) << c.line;
}

TEST(DecodeEnvelope, FillsEveryField) {
  const std::string line =
      "{\"type\":\"event_msg\",\"timestamp\":\"2025-01-02T03:04:05Z\",\"cwd\":\"/w\","
      "\"requestId\":\"r1\",\"unknown\":{\"deep\":[1,{\"x\":\"y\"}]},"
      "\"payload\":{\"type\":\"token_count\",\"id\":\"i\",\"session_id\":\"s\","
      "\"timestamp\":\"t\",\"thread_source\":\"user\",\"parent_thread_id\":\"p\","
      "\"agent_path\":\"/root/w\",\"model\":\"alpha-4\",\"cwd\":\"/c\","
      "\"source\":{\"subagent\":{\"n\":1.50e3},\"k\":1,\"k\":[\"last\"]},"
      "\"agent_role\":\"r\",\"agent_nickname\":\"n\",\"forked_from_id\":\"f\","
      "\"service_tier\":\"fast\",\"info\":{\"service_tier\":\"flex\","
      "\"total_token_usage\":{\"input_tokens\":-5,\"output_tokens\":9223372036854775807},"
      "\"last_token_usage\":{\"cached_input_tokens\":-9223372036854775808,\"speed\":null,"
      "\"cache_creation\":{\"ephemeral_5m_input_tokens\":3,\"ephemeral_1h_input_tokens\":null}}}},"
      "\"message\":{\"id\":\"m\",\"model\":\"model-x\",\"usage\":{\"cache_read_input_tokens\":0}}}"
      "\n";
  Envelope e;
  ASSERT_TRUE(decode_envelope(line, e));
  EXPECT_EQ(e.type, "event_msg");
  EXPECT_EQ(e.timestamp, "2025-01-02T03:04:05Z");
  EXPECT_EQ(e.cwd, "/w");
  EXPECT_EQ(e.request_id, "r1");
  ASSERT_TRUE(e.payload);
  const Payload& p = *e.payload;
  EXPECT_EQ(p.type, "token_count");
  EXPECT_EQ(p.session_id, "s");
  EXPECT_EQ(p.agent_path, "/root/w");
  EXPECT_EQ(p.model, "alpha-4");
  EXPECT_EQ(p.forked_from_id, "f");
  EXPECT_EQ(p.service_tier, "fast");
  ASSERT_TRUE(p.source && p.source->is_object());
  const JsonValue* sub = p.source->find("subagent");
  ASSERT_TRUE(sub && sub->find("n"));
  EXPECT_EQ(sub->find("n")->kind, JsonValue::Kind::kNumber);
  EXPECT_EQ(sub->find("n")->text, "1.50e3");  // numbers keep their text
  const JsonValue* k = p.source->find("k");   // repeated key: the last wins
  ASSERT_TRUE(k && k->kind == JsonValue::Kind::kArray && k->items.size() == 1);
  EXPECT_EQ(k->items[0].text, "last");
  ASSERT_TRUE(p.info);
  EXPECT_EQ(p.info->service_tier, "flex");
  ASSERT_TRUE(p.info->total_token_usage && p.info->last_token_usage);
  EXPECT_EQ(p.info->total_token_usage->input_tokens, -5);
  EXPECT_EQ(p.info->total_token_usage->output_tokens, std::numeric_limits<std::int64_t>::max());
  EXPECT_FALSE(p.info->total_token_usage->cached_input_tokens);
  const Usage& last = *p.info->last_token_usage;
  EXPECT_EQ(last.cached_input_tokens, std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(last.speed);
  ASSERT_TRUE(last.cache_creation);
  EXPECT_EQ(last.cache_creation->ephemeral_5m_input_tokens, 3);
  EXPECT_FALSE(last.cache_creation->ephemeral_1h_input_tokens);
  ASSERT_TRUE(e.message && e.message->usage);
  EXPECT_EQ(e.message->model, "model-x");
  EXPECT_EQ(e.message->usage->cache_read_input_tokens, 0);

  // Decoding again into the same record starts from a clean record.
  ASSERT_TRUE(decode_envelope("{}", e));
  EXPECT_EQ(e.type, "");
  EXPECT_FALSE(e.timestamp || e.cwd || e.payload || e.message || e.request_id);
}

TEST(DecodeEnvelope, ResolvesEscapesInKeysAndValues) {
  Envelope e;
  ASSERT_TRUE(decode_envelope(
      "{\"\\u0074ype\":\"a\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\u20AC\\ud83d\\ude00\\u0000z\","
      "\"cwd\":\"caf\xc3\xa9 \xe2\x82\xac\",\"request\\u0049d\":\"r\"}",
      e));
  EXPECT_EQ(e.type, "a\"\\/\b\f\n\r\t\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"s + '\0' + "z");
  EXPECT_EQ(e.cwd, "caf\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(e.request_id, "r");
}

TEST(DecodeEnvelope, ArrayFormNeedsExactElementCount) {
  struct Shape {
    const char* before;  // the line up to the record
    const char* after;   // the rest of the line
    std::size_t fields;
  };
  const Shape shapes[] = {
      {"[\"t\"", "]", 6},  // Envelope: its first element is the non-null type
      {"{\"payload\":", "}", 15},
      {"{\"message\":", "}", 3},
      {"{\"payload\":{\"info\":", "}}", 3},
      {"{\"message\":{\"usage\":", "}}", 10},
      {"{\"message\":{\"usage\":{\"cache_creation\":", "}}}", 2},
  };
  for (const Shape& s : shapes) {
    const bool envelope = s.before[0] == '[';
    for (std::size_t n : {s.fields - 1, s.fields, s.fields + 1}) {
      std::string line = s.before;
      if (envelope) {
        line += repeat(",null", n - 1);
      } else {
        line += "[";
        for (std::size_t i = 0; i < n; ++i) line += i ? ",null" : "null";
        line += "]";
      }
      line += s.after;
      EXPECT_EQ(decodes(line), n == s.fields) << line;
    }
  }
  EXPECT_FALSE(decodes("[]"));
  EXPECT_FALSE(decodes("{\"payload\":[]}"));

  Envelope e;
  ASSERT_TRUE(decode_envelope(" [\"assistant\", null, null, null, null, \"r1\"]\n", e));
  EXPECT_EQ(e.type, "assistant");
  EXPECT_EQ(e.request_id, "r1");
  EXPECT_FALSE(e.payload || e.message || e.cwd || e.timestamp);
  EXPECT_FALSE(decodes("[null,null,null,null,null,null]"));  // type may not be null

  // Nested records in array form, mixed with object form; elements keep
  // their kind rules.
  ASSERT_TRUE(
      decode_envelope("[\"assistant\",\"ts\",null,null,[\"m1\",\"model-x\","
                      "[1,2,3,4,5,6,7,[8,9],\"standard\",null]],\"r\"]",
                      e));
  ASSERT_TRUE(e.message && e.message->usage && e.message->usage->cache_creation);
  EXPECT_EQ(e.timestamp, "ts");
  EXPECT_EQ(e.message->id, "m1");
  EXPECT_EQ(e.message->model, "model-x");
  EXPECT_EQ(e.message->usage->input_tokens, 1);
  EXPECT_EQ(e.message->usage->cache_creation_input_tokens, 7);
  EXPECT_EQ(e.message->usage->cache_creation->ephemeral_1h_input_tokens, 9);
  EXPECT_EQ(e.message->usage->service_tier, "standard");
  EXPECT_FALSE(
      decodes("{\"message\":[\"m\",\"x\",[1.5,null,null,null,null,null,null,null,null,null]]}"));
  EXPECT_FALSE(decodes("{\"message\":[1,null,null]}"));
}

// Decoded values nest at most 128 containers, the line's own object being
// the first; in {"payload":{"source":V}} the value V starts at level 3.
TEST(DecodeEnvelope, LimitsNestingOfDecodedValuesOnly) {
  auto source_line = [](std::size_t brackets) {
    return "{\"payload\":{\"source\":" + repeat("[", brackets) + repeat("]", brackets) + "}}";
  };
  EXPECT_TRUE(decodes(source_line(125)));   // 127 open at the deepest point
  EXPECT_TRUE(decodes(source_line(126)));   // 128
  EXPECT_FALSE(decodes(source_line(127)));  // 129
  EXPECT_FALSE(decodes(source_line(200)));

  // Objects count like arrays.
  auto object_line = [](std::size_t n) {
    return "{\"payload\":{\"source\":" + repeat("{\"a\":", n - 1) + "{}" + repeat("}", n - 1) +
           "}}";
  };
  EXPECT_TRUE(decodes(object_line(126)));
  EXPECT_FALSE(decodes(object_line(127)));

  // The same values under an unknown key are skipped whatever their depth.
  EXPECT_TRUE(decodes("{\"x\":" + repeat("[", 200) + repeat("]", 200) + "}"));
  EXPECT_TRUE(
      decodes("{\"payload\":{\"x\":" + repeat("{\"a\":", 500) + "1" + repeat("}", 500) + "}}"));
  // Skipped deep values must still be balanced.
  EXPECT_FALSE(decodes("{\"x\":" + repeat("[", 300) + repeat("]", 299) + "}"));
  EXPECT_FALSE(decodes("{\"x\":" + repeat("[", 300) + repeat("]", 299) + "}}"));
}

TEST(DecodeEnvelope, SkipsTenMillionLevelsWithoutRecursion) {
  constexpr std::size_t kDepth = 10'000'000;
  std::string line = "{\"x\":";
  line.reserve(2 * kDepth + 64);
  line.append(kDepth, '[');
  line.append(kDepth, ']');
  line += ",\"type\":\"deep\"}";
  Envelope e;
  ASSERT_TRUE(decode_envelope(line, e));
  EXPECT_EQ(e.type, "deep");

  // One bracket of the wrong kind at the innermost level fails the line.
  line[5 + kDepth] = '}';
  EXPECT_FALSE(decode_envelope(line, e));
}

TEST(DecodeEnvelope, HandlesStringsAcrossScanBlocks) {
  // Long strings exercise the vector scan; a stop byte at every offset of a
  // block must be found.
  const std::string filler(100, 'a');
  for (std::size_t at = 0; at < 40; ++at) {
    std::string text = filler;
    text.insert(at, "\\n");
    Envelope e;
    ASSERT_TRUE(decode_envelope("{\"cwd\":\"" + text + "\",\"x\":\"" + text + "\"}", e)) << at;
    EXPECT_EQ(*e.cwd, filler.substr(0, at) + "\n" + filler.substr(at));

    std::string bad = filler;
    bad[at] = '\x1f';
    EXPECT_FALSE(decodes("{\"cwd\":\"" + bad + "\"}")) << at;
    EXPECT_FALSE(decodes("{\"x\":\"" + bad + "\"}")) << at;
    bad[at] = '\xff';
    EXPECT_FALSE(decodes("{\"cwd\":\"" + bad + "\"}")) << at;
    EXPECT_TRUE(decodes("{\"x\":\"" + bad + "\"}")) << at;
  }
}

}  // namespace
}  // namespace ledgerly::parser
