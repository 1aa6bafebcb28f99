// Writing and reading the state file (state_format.h; docs/state-file.md).
//
// Both directions stream through two 2 MiB buffers and overlap their input
// or output with their work: the writer fills one buffer, hashing it in
// 8 KiB steps while the bytes are still in the nearest cache, and hands it
// to a helper thread that writes it while the other fills; on the reader's
// side the helper reads (and hashes) the next chunk while the caller
// decodes the one before.  So each byte is touched about once either way,
// and no buffer of the file's size is made.  (Smaller buffers cost more
// hand-overs, whose wake-ups are dear on virtual machines: on the scale
// corpus, a save with 256 KiB buffers took 40-44 ms, with 2 MiB ones 31 ms.)
//
// Texts that many rows share (models, projects) are written once: they are
// numbered from 1 in order of first use (0 is the empty text), and a
// reference to the next number is the text's definition, its length and
// bytes following the reference (after a row's record, when the reference
// is in one).  So a file is written and read in one pass.  Texts that
// belong to one file (its path, identity, session and parent ids, raw model
// names) are written inline.
#include "engine/state_format.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/helper_thread.h"
#include "engine/seeded_hash.h"
#include "engine/select.h"
#include "engine/xxhash64.h"
#include "parser/context.h"
#include "parser/counters.h"
#include "parser/row.h"
#include "parser/row_wire.h"
#include "parser/shared_text.h"

namespace ledgerly::engine {
namespace {

// A buffer of `size` bytes left uninitialised (every byte is written before
// it is read); the C++ libraries of some platforms still lack
// make_unique_for_overwrite.
std::unique_ptr<unsigned char[]> uninitialised(std::size_t size) {
  return std::unique_ptr<unsigned char[]>(new unsigned char[size]);
}

namespace sf = state_format;
using parser::Context;
using parser::Row;
using parser::RowWire;
using parser::SharedText;

constexpr std::size_t kBufferSize = std::size_t{2} << 20;

// The fewest bytes a file record can take: its path and identity lengths,
// size, mtime, offset, counters, flag bytes, context text references,
// session length, parent count and row count.
constexpr std::uint64_t kMinFileBytes = 4 + 4 + 3 * 8 + 5 * 8 + 8 + 2 * 4 + 4 + 4 + 8;

[[noreturn]] void corrupt(const char* why) {
  throw StateFileError(std::string("the state file is corrupt (") + why + ")");
}

// ---------------------------------------------------------------- writing

class Writer {
 public:
  // How many written bytes room() lets pile up before it hashes them.
  static constexpr std::size_t kHashStep = 8192;

  // `expected`: about how many bytes will be written; the buffers are no
  // larger than that needs (a small state takes two small blocks).
  Writer(StateSink& sink, std::uint64_t expected)
      : sink_(sink),
        capacity_(static_cast<std::size_t>(
            std::clamp<std::uint64_t>(expected, kSmallestBuffer, kBufferSize))),
        buffers_{uninitialised(capacity_), uninitialised(capacity_)} {}

  // `size` (at most kSmallestBuffer) writable bytes; commit() what was written.
  unsigned char* room(std::size_t size) {
    if (capacity_ - used_ < size) flush();
    // Hash what was written while it is still in the nearest cache.
    if (used_ - hashed_ >= kHashStep) {
      hash_.update(buffers_[current_].get() + hashed_, used_ - hashed_);
      hashed_ = used_;
    }
    return buffers_[current_].get() + used_;
  }
  void commit(std::size_t size) noexcept { used_ += size; }

  void u32(std::uint32_t v) { fixed(&v); }
  void u64(std::uint64_t v) { fixed(&v); }
  void i64(std::int64_t v) { fixed(&v); }

  void bytes(const void* data, std::size_t size) {
    if (size <= capacity_ - used_) {  // the usual case: it fits
      if (size != 0) std::memcpy(buffers_[current_].get() + used_, data, size);
      used_ += size;
      return;
    }
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
      if (used_ == capacity_) flush();
      const std::size_t n = std::min(size, capacity_ - used_);
      std::memcpy(buffers_[current_].get() + used_, p, n);
      used_ += n;
      p += n;
      size -= n;
    }
  }

  // One number, copied as a constant-size block when it fits.
  template <typename T>
  void fixed(const T* v) {
    if (sizeof(T) <= capacity_ - used_) {
      std::memcpy(buffers_[current_].get() + used_, v, sizeof(T));
      used_ += sizeof(T);
    } else {
      bytes(v, sizeof(T));
    }
  }

  // A length (32 bits) and the bytes of `text`.
  void text(std::string_view text) {
    if (text.size() > UINT32_MAX) throw std::bad_alloc();
    u32(static_cast<std::uint32_t>(text.size()));
    bytes(text.data(), text.size());
  }

  // Writes what is buffered and the trailer; returns the file's size.
  std::uint64_t finish() {
    flush();
    const std::uint64_t checksum = hash_.digest();
    std::memcpy(trailer_, &checksum, 8);
    std::memcpy(trailer_ + 8, sf::kEndMark, 8);
    io_.post([this] { sink_.write(trailer_, sizeof trailer_); });
    io_.wait();
    return written_ + sizeof trailer_;
  }

 private:
  // Hashes the full buffer and hands it to the helper thread, which writes
  // it while the other buffer fills (post() returns once the write before
  // has finished, so that buffer is free).
  void flush() {
    if (used_ == 0) return;
    const unsigned char* data = buffers_[current_].get();
    const std::size_t size = used_;
    hash_.update(data + hashed_, size - hashed_);
    io_.post([this, data, size] { sink_.write(data, size); });
    written_ += size;
    current_ ^= 1;
    used_ = 0;
    hashed_ = 0;
  }

  static constexpr std::size_t kSmallestBuffer = std::size_t{64} << 10;
  StateSink& sink_;
  std::size_t capacity_;
  std::unique_ptr<unsigned char[]> buffers_[2];
  std::size_t current_ = 0;
  std::size_t used_ = 0;
  std::size_t hashed_ = 0;  // of the current buffer's bytes
  std::uint64_t written_ = 0;
  Xxh64 hash_;
  unsigned char trailer_[sf::kTrailerSize] = {};
  HelperThread io_;  // last: joined before the buffers go
};

// The text table as it is written: each distinct text gets the next
// number the first time it is used.  Rows share text objects, so a small
// cache keyed by object identity answers most lookups without reading the
// text (identity implies equal content: texts are immutable, and the state
// does not change while it is written).
class TextIds {
 public:
  TextIds() : by_content_(64, hash_) {}

  // The number of `text`; `fresh` tells whether it was given just now (its
  // definition is then due).
  std::uint32_t id(const SharedText& text, bool& fresh) {
    fresh = false;
    const void* identity = text.identity();
    if (identity == nullptr) return 0;  // the empty text
    Slot& slot = cache_[(reinterpret_cast<std::uintptr_t>(identity) >> 4) % kSlots];
    if (slot.identity == identity) return slot.id;
    auto [it, inserted] = by_content_.try_emplace(text.view(), 0);
    if (inserted) {
      if (by_content_.size() >= UINT32_MAX) throw std::bad_alloc();
      it->second = static_cast<std::uint32_t>(by_content_.size());
      fresh = true;
    }
    slot = Slot{identity, it->second};
    return it->second;
  }

  // id() through a memo of the last text asked for: the rows of a file
  // mostly share one model and one project object.
  struct Last {
    const void* identity = nullptr;  // the empty text's, whose number is 0
    std::uint32_t id = 0;
  };
  std::uint32_t id(const SharedText& text, Last& last, bool& fresh) {
    fresh = false;
    if (text.identity() != last.identity) last = Last{text.identity(), id(text, fresh)};
    return last.id;
  }

 private:
  struct Slot {
    const void* identity = nullptr;
    std::uint32_t id = 0;
  };
  static constexpr std::size_t kSlots = 64;

  SeededHash hash_;
  std::unordered_map<std::string_view, std::uint32_t, SeededHash, TextEqual> by_content_;
  Slot cache_[kSlots] = {};
};

// A reference to a shared text, followed by its definition the first time.
void put_ref(Writer& w, TextIds& ids, const SharedText& text) {
  bool fresh;
  w.u32(ids.id(text, fresh));
  if (fresh) w.text(text.view());
}

std::uint32_t count32(std::size_t n) {
  if (n > UINT32_MAX) throw std::bad_alloc();
  return static_cast<std::uint32_t>(n);
}

// Asks for the cache lines of a state object and the start of its path
// (reading nothing of it: the sizes would have to be waited for).
void prefetch_state(const FileState& file) noexcept {
  const char* p = reinterpret_cast<const char*>(&file);
  for (std::size_t at = 0; at < sizeof(FileState) + 128; at += 64) __builtin_prefetch(p + at);
}

// Asks for the first rows of a state and its session id (a state asked for
// before, so reading the pointers to them costs no wait).
void prefetch_parts(const FileState& file) noexcept {
  if (!file.rows.empty()) {
    parser::prefetch(file.rows.data());
    if (file.rows.size() > 1) parser::prefetch(&file.rows[1]);
  }
  __builtin_prefetch(file.context.session_id.data());
}

// One file record.
void put_file(Writer& w, TextIds& ids, const FileState& file) {
  const Context& c = file.context;
  const std::vector<Context::ModelMemo::Entry>& memo = c.message_model.entries;
  w.text(file.path());
  w.text(file.identity());
  w.u64(file.size);
  w.u64(file.mtime_ns);
  w.u64(file.offset);
  for (const parser::CounterField& field : parser::kCounterFields)
    w.u64(file.counters.*field.member);
  std::uint8_t flags = 0;
  if (file.retry) flags |= sf::kRetry;
  if (c.snapshot) flags |= sf::kSnapshot;
  if (c.started) flags |= sf::kStarted;
  if (c.subagent) flags |= sf::kSubagent;
  if (c.has_session) flags |= sf::kHasSession;
  const unsigned char fixed[8] = {file.source,
                                  flags,
                                  static_cast<std::uint8_t>(file.tail.size()),
                                  static_cast<std::uint8_t>(memo.size()),
                                  c.message_model.last,
                                  c.message_model.next,
                                  0,
                                  0};
  w.bytes(fixed, sizeof fixed);
  w.bytes(file.tail.view().data(), file.tail.size());
  if (c.snapshot) {
    for (const std::int64_t total : *c.snapshot) w.i64(total);
  }
  if (c.started) w.i64(*c.started);
  put_ref(w, ids, c.model);
  put_ref(w, ids, c.project);
  w.text(c.session_id.view());
  w.u32(count32(c.parents().size()));
  for (const SharedText& parent : c.parents()) w.text(parent.view());
  for (const Context::ModelMemo::Entry& entry : memo) {
    w.text(entry.raw);
    put_ref(w, ids, entry.model);
  }

  const std::vector<Row>& rows = file.rows;
  w.u64(rows.size());
  TextIds::Last model, project;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + parser::kPrefetchRowsAhead < rows.size()) {
      parser::prefetch(&rows[i + parser::kPrefetchRowsAhead]);
    }
    const Row& row = rows[i];
    bool new_model, new_project;
    const std::uint32_t model_id = ids.id(row.model(), model, new_model);
    const std::uint32_t project_id = ids.id(row.project(), project, new_project);
    unsigned char* out = w.room(RowWire::kSize);
    const std::string_view long_key = RowWire::put(row, model_id, project_id, out);
    w.commit(RowWire::kSize);
    if (new_model) w.text(row.model().view());
    if (new_project) w.text(row.project().view());
    if (!long_key.empty()) w.bytes(long_key.data(), long_key.size());
  }
}

// ---------------------------------------------------------------- reading

// The content of a state (everything before its trailer), in order, with
// its running checksum.  The helper thread reads (and hashes) the next
// chunk into one buffer while the caller decodes the other.
class Reader {
 public:
  // The most bytes take() returns at once.
  static constexpr std::size_t kMaxTake = 4096;

  Reader(StateSource& source, std::uint64_t content)
      : source_(source),
        unread_(content),
        chunk_(static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, content))),
        buffers_{uninitialised(kMaxTake + chunk_), uninitialised(kMaxTake + chunk_)},
        p_(buffers_[0].get() + kMaxTake),
        end_(p_) {
    request();
  }

  // Content bytes not yet taken.
  std::uint64_t remaining() const noexcept {
    return static_cast<std::uint64_t>(end_ - p_) + unread_;
  }

  // The next `size` bytes (at most kMaxTake), valid until the next call.
  const unsigned char* take(std::size_t size) {
    while (static_cast<std::size_t>(end_ - p_) < size) advance();
    const unsigned char* at = p_;
    p_ += size;
    return at;
  }

  std::uint32_t u32() {
    std::uint32_t v;
    std::memcpy(&v, take(4), 4);
    return v;
  }
  std::uint64_t u64() {
    std::uint64_t v;
    std::memcpy(&v, take(8), 8);
    return v;
  }
  std::int64_t i64() {
    std::int64_t v;
    std::memcpy(&v, take(8), 8);
    return v;
  }

  // A count of items of at least `item_bytes` bytes each, which the rest of
  // the content must be able to hold: allocations sized by it stay within
  // a small multiple of the file's size.
  std::uint64_t count(std::uint64_t value, std::uint64_t item_bytes, const char* what) const {
    if (value > remaining() / item_bytes) corrupt(what);
    return value;
  }

  // A length-prefixed text, viewed in the buffer when it lies there whole
  // and copied into `scratch` otherwise; valid until the next call.
  std::string_view text(std::string& scratch) {
    const auto size = static_cast<std::size_t>(count(u32(), 1, "a text runs past the end"));
    if (static_cast<std::size_t>(end_ - p_) >= size) {
      const char* at = reinterpret_cast<const char*>(p_);
      p_ += size;
      return {at, size};
    }
    scratch.resize(size);
    copy(scratch.data(), size);
    return scratch;
  }

  // Copies the next `size` bytes (already checked against remaining()).
  void copy(void* out, std::size_t size) {
    auto* dst = static_cast<unsigned char*>(out);
    for (;;) {
      const std::size_t n = std::min(size, static_cast<std::size_t>(end_ - p_));
      if (n != 0) std::memcpy(dst, p_, n);
      p_ += n;
      dst += n;
      size -= n;
      if (size == 0) return;
      advance();
    }
  }

  // Reads and hashes the rest of the content, so that the checksum can
  // tell a damaged file from a well-formed one this build cannot use.
  void drain() {
    for (;;) {
      p_ = end_;
      if (unread_ == 0) break;
      advance();
    }
    io_.wait();
  }

  std::uint64_t digest() {
    io_.wait();
    return hash_.digest();
  }

 private:
  // Has the helper thread read the next chunk into the spare buffer.
  void request() {
    const std::uint64_t left = unread_ - in_flight_;
    if (left == 0) return;
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, left));
    unsigned char* chunk = buffers_[1 - current_].get() + kMaxTake;
    in_flight_ = size;
    io_.post([this, chunk, size] {
      std::size_t have = 0;
      while (have < size) {
        const std::size_t got = source_.read(chunk + have, size - have);
        if (got == 0 || got > size - have) {
          throw StateFileError("the state file is truncated (it ended while being read)");
        }
        have += got;
      }
      hash_.update(chunk, size);
    });
  }

  // Moves the next chunk in after the bytes not yet taken (fewer than
  // kMaxTake), which are copied just ahead of it, and asks for the one after.
  void advance() {
    if (in_flight_ == 0) corrupt("a record runs past the end");
    io_.wait();
    const auto have = static_cast<std::size_t>(end_ - p_);
    unsigned char* chunk = buffers_[1 - current_].get() + kMaxTake;
    if (have != 0) std::memcpy(chunk - have, p_, have);
    p_ = chunk - have;
    end_ = chunk + in_flight_;
    unread_ -= in_flight_;
    in_flight_ = 0;
    current_ ^= 1;
    request();
  }

  StateSource& source_;
  std::uint64_t unread_;         // content bytes not yet moved into the window
  std::uint64_t in_flight_ = 0;  // of those, the chunk the helper is reading
  std::size_t chunk_;            // the most read at once: a buffer's size, no more than the content
  std::unique_ptr<unsigned char[]> buffers_[2];  // kMaxTake bytes of room, then a chunk
  std::size_t current_ = 0;                      // the buffer [p_, end_) lies in
  const unsigned char* p_;
  const unsigned char* end_;
  Xxh64 hash_;       // of the chunks read; the helper's until wait()
  HelperThread io_;  // last: joined before the buffers go
};

// The text table as it is read.  A deque, so that a text resolved before
// another is defined stays where it is.
class Texts {
 public:
  // The next text number: a reference to it is a definition.
  std::uint64_t next() const noexcept { return table_.size() + 1; }

  // The text `ref` names, which is not a definition (ref < next()).
  const SharedText& at(std::uint32_t ref) const noexcept {
    return ref == 0 ? empty_ : table_[ref - 1];
  }

  // The text `ref` names, reading its definition from `r` when it is one.
  const SharedText& resolve(std::uint32_t ref, Reader& r, std::string& scratch) {
    if (ref == 0) return empty_;
    if (ref == next()) {
      const std::string_view text = r.text(scratch);
      if (text.empty()) corrupt("an empty text is defined");
      if (table_.size() >= UINT32_MAX - 1) corrupt("too many texts");
      table_.emplace_back(text);
    } else if (ref > table_.size()) {
      corrupt("a text reference is out of range");
    }
    return table_[ref - 1];
  }

 private:
  std::deque<SharedText> table_;
  SharedText empty_;
};

// Scratch texts of one reading, reused from file to file.
struct Scratch {
  std::string path, identity, text, key;
};

std::unique_ptr<FileState> read_file(Reader& r, Texts& texts, Scratch& s) {
  s.path.assign(r.text(s.text));
  const std::string_view identity = r.text(s.identity);
  std::unique_ptr<FileState> state = FileState::blank(s.path, identity);
  FileState& file = *state;
  Context& c = file.context;
  file.size = r.u64();
  file.mtime_ns = r.u64();
  file.offset = r.u64();
  for (const parser::CounterField& field : parser::kCounterFields)
    file.counters.*field.member = r.u64();
  unsigned char fixed[8];
  std::memcpy(fixed, r.take(sizeof fixed), sizeof fixed);
  file.source = fixed[0];
  const std::uint8_t flags = fixed[1];
  const std::size_t tail_size = fixed[2];
  const std::size_t memo_size = fixed[3];
  if (flags & ~(sf::kRetry | sf::kSnapshot | sf::kStarted | sf::kSubagent | sf::kHasSession)) {
    corrupt("a file has unknown flags");
  }
  if (tail_size > Tail::kCapacity) corrupt("a tail is too long");
  if (memo_size > Context::ModelMemo::kEntries || fixed[5] >= Context::ModelMemo::kEntries ||
      fixed[4] >= (memo_size == 0 ? 1 : memo_size)) {
    corrupt("a model memo is out of range");
  }
  if (fixed[6] != 0 || fixed[7] != 0) corrupt("a file's padding is not zero");
  file.retry = (flags & sf::kRetry) != 0;
  c.subagent = (flags & sf::kSubagent) != 0;
  c.has_session = (flags & sf::kHasSession) != 0;
  c.message_model.last = fixed[4];
  c.message_model.next = fixed[5];
  file.tail.assign_end_of(
      std::string_view(reinterpret_cast<const char*>(r.take(tail_size)), tail_size));
  if (flags & sf::kSnapshot) {
    parser::Totals totals;
    for (std::int64_t& total : totals) total = r.i64();
    c.snapshot = totals;
  }
  if (flags & sf::kStarted) c.started = r.i64();
  c.model = texts.resolve(r.u32(), r, s.text);
  c.project = texts.resolve(r.u32(), r, s.text);
  c.session_id = SharedText(r.text(s.text));
  const std::uint64_t parents = r.count(r.u32(), 4, "a parent count exceeds the file");
  for (std::uint64_t p = 0; p < parents; ++p) {
    if (!c.add_parent(r.text(s.text))) corrupt("a file names a parent session twice");
  }
  c.message_model.entries.reserve(memo_size);
  for (std::size_t m = 0; m < memo_size; ++m) {
    std::string raw(r.text(s.text));
    const std::uint32_t ref = r.u32();
    c.message_model.entries.push_back(
        Context::ModelMemo::Entry{std::move(raw), texts.resolve(ref, r, s.text)});
  }

  const std::uint64_t count = r.count(r.u64(), RowWire::kSize, "a row count exceeds the file");
  std::vector<Row>& rows = file.rows;
  rows.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* record = r.take(RowWire::kSize);
    RowWire::Head head;
    if (const char* why = RowWire::read_head(record, head)) corrupt(why);
    if (head.model < texts.next() && head.project < texts.next() && head.long_key == 0) {
      RowWire::append(rows, record, texts.at(head.model), texts.at(head.project), {});
      continue;
    }
    // Texts or a key follow the record: keep the record before reading on.
    unsigned char copy[RowWire::kSize];
    std::memcpy(copy, record, sizeof copy);
    const SharedText& model = texts.resolve(head.model, r, s.text);
    const SharedText& project = texts.resolve(head.project, r, s.text);
    s.key.resize(static_cast<std::size_t>(r.count(head.long_key, 1, "a key runs past the end")));
    r.copy(s.key.data(), s.key.size());
    RowWire::append(rows, copy, model, project, s.key);
  }
  return state;
}

// The magic, format and layout of a header.
void check_header(const unsigned char* header) {
  if (std::memcmp(header, sf::kMagic, sizeof sf::kMagic) != 0)
    throw StateFileError("not a state file");
  std::uint32_t format, layout;
  std::memcpy(&format, header + 8, 4);
  std::memcpy(&layout, header + 12, 4);
  if (format != sf::kFormat) {
    throw StateFileError("the state file has format " + std::to_string(format) +
                         "; this build reads format " + std::to_string(sf::kFormat));
  }
  if (layout != sf::kLayout) {
    throw StateFileError("the state file has record layout " + std::to_string(layout) +
                         "; this build uses layout " + std::to_string(sf::kLayout));
  }
}

// An empty file, or one too short for `needed` bytes: named as empty, as a
// state cut short (when it starts like one) or as another kind of file.
void check_length(StateSource& source, std::uint64_t needed) {
  const std::uint64_t size = source.size();
  if (size == 0) throw StateFileError("the state file is empty");
  if (size >= needed) return;
  unsigned char start[sizeof sf::kMagic];
  const std::size_t n = size < sizeof start ? static_cast<std::size_t>(size) : sizeof start;
  if (source.read_at(0, start, n) && std::memcmp(start, sf::kMagic, n) == 0) {
    throw StateFileError("the state file is truncated (" + std::to_string(size) + " bytes)");
  }
  throw StateFileError("not a state file");
}

// The checks that need no more than the header and the trailer, so that a
// file of another kind, format or layout, or one cut short, is named as
// such rather than as damaged.  Returns the stored checksum.
std::uint64_t check_frame(StateSource& source) {
  check_length(source, sf::kHeaderSize + sf::kTrailerSize);
  const std::uint64_t size = source.size();
  unsigned char header[sf::kHeaderSize];
  if (!source.read_at(0, header, sizeof header)) {
    throw StateFileError("the state file is truncated (it ended while being read)");
  }
  check_header(header);
  unsigned char trailer[sf::kTrailerSize];
  if (!source.read_at(size - sizeof trailer, trailer, sizeof trailer)) {
    throw StateFileError("the state file is truncated (it ended while being read)");
  }
  if (std::memcmp(trailer + 8, sf::kEndMark, sizeof sf::kEndMark) != 0) {
    throw StateFileError("the state file is truncated (its end mark is missing)");
  }
  std::uint64_t checksum;
  std::memcpy(&checksum, trailer, 8);
  return checksum;
}

void read_state(Reader& r, Engine& engine, std::string& extra, StateSummary& summary) {
  r.take(16);  // magic, format and layout: checked already
  const std::uint64_t files = r.u64();
  const std::uint64_t rows = r.u64();
  extra.resize(static_cast<std::size_t>(r.count(r.u64(), 1, "the extra bytes run past the end")));
  r.copy(extra.data(), extra.size());
  engine.inherited_events = r.u64();
  engine.unresolved_forks = r.u64();
  const std::uint64_t flags = r.u64();
  if (flags & ~(sf::kRefreshed | sf::kExportPending)) corrupt("the engine has unknown flags");
  engine.refreshed = (flags & sf::kRefreshed) != 0;
  engine.export_pending = (flags & sf::kExportPending) != 0;
  // Its selection is the saved one, numbered in export order.
  engine.generation = kLoadedGeneration;

  engine.files.reserve(
      static_cast<std::size_t>(r.count(files, kMinFileBytes, "the file count exceeds the file")));
  Texts texts;
  Scratch scratch;
  const FileState* previous = nullptr;
  std::uint64_t stored_rows = 0;
  for (std::uint64_t f = 0; f < files; ++f) {
    std::unique_ptr<FileState> state = read_file(r, texts, scratch);
    if (previous != nullptr && !(previous->path() < state->path())) {
      corrupt("the files are not in path order");
    }
    previous = state.get();
    stored_rows += state->rows.size();
    engine.files.insert_or_assign(std::move(state));
  }
  if (stored_rows != rows) corrupt("the row count differs from the header's");
  if (r.remaining() != 0) corrupt("bytes follow the last file");
  summary.files = files;
  summary.rows = rows;
}

}  // namespace

StateSummary save_state(const Engine& engine, std::string_view extra, StateSink& sink) {
  // Files in path order, from the kept selection basis when it is current.
  FileOrder made;
  const FileOrder* order = nullptr;
  std::uint64_t rows = 0;
  if (engine.basis != nullptr && engine.basis->version == engine.files.version()) {
    order = &engine.basis->order;
    rows = engine.basis->total_rows;
  } else {
    made = file_order(engine);
    order = &made;
    for (const auto& [path, file] : made) rows += file->rows.size();
  }

  Writer w(sink, extra.size() + order->size() * 512 + rows * RowWire::kSize + 4096);
  w.bytes(sf::kMagic, sizeof sf::kMagic);
  w.u32(sf::kFormat);
  w.u32(sf::kLayout);
  w.u64(order->size());
  w.u64(rows);
  w.u64(extra.size());
  w.bytes(extra.data(), extra.size());
  w.u64(engine.inherited_events);
  w.u64(engine.unresolved_forks);
  w.u64((engine.refreshed ? sf::kRefreshed : 0) | (engine.export_pending ? sf::kExportPending : 0));

  TextIds ids;
  // The states lie apart in memory: ask for the next ones' first bytes and
  // rows while a file is written.
  for (std::size_t f = 0; f < order->size(); ++f) {
    if (f + 4 < order->size()) prefetch_state(*(*order)[f + 4].second);
    if (f + 2 < order->size()) prefetch_parts(*(*order)[f + 2].second);
    put_file(w, ids, *(*order)[f].second);
  }

  StateSummary summary;
  summary.files = order->size();
  summary.rows = rows;
  summary.bytes = w.finish();
  return summary;
}

StateHead read_head(StateSource& source) {
  // The header, the extra bytes' length, the engine section and the trailer.
  constexpr std::uint64_t kFixed = sf::kHeaderSize + 8 + 24 + sf::kTrailerSize;
  check_length(source, kFixed);
  unsigned char start[sf::kHeaderSize + 8];
  if (!source.read_at(0, start, sizeof start)) {
    throw StateFileError("the state file is truncated (it ended while being read)");
  }
  check_header(start);
  StateHead head;
  std::memcpy(&head.files, start + 16, 8);
  std::memcpy(&head.rows, start + 24, 8);
  std::memcpy(&head.extra_size, start + sf::kHeaderSize, 8);
  head.extra_offset = sizeof start;
  head.bytes = source.size();
  if (head.extra_size > head.bytes - kFixed) {
    throw StateFileError(
        "the state file is truncated or corrupt (its extra bytes run past its end)");
  }
  return head;
}

StateSummary load_state(StateSource& source, Engine& out, std::string& extra) {
  const std::uint64_t stored = check_frame(source);
  Reader r(source, source.size() - sf::kTrailerSize);
  Engine engine;
  std::string bytes;
  StateSummary summary;
  try {
    read_state(r, engine, bytes, summary);
  } catch (const StateFileError&) {
    // A damaged file reads as damaged, whatever its structure ran into.
    r.drain();
    if (r.digest() != stored) throw StateFileError("the state file is corrupt (checksum mismatch)");
    throw;
  }
  if (r.digest() != stored) throw StateFileError("the state file is corrupt (checksum mismatch)");
  summary.bytes = source.size();
  out = std::move(engine);
  extra.swap(bytes);
  return summary;
}

}  // namespace ledgerly::engine
