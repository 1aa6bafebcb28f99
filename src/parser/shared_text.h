// SharedText: an immutable UTF-8 string with an atomic reference count.
//
// Contract:
//  - The bytes never change after construction, so any number of threads may
//    read one SharedText at once; copies share one heap block and only bump
//    the count (relaxed increment, acq_rel decrement).
//  - The empty text holds no heap block at all (rep_ == nullptr), so a
//    default-constructed SharedText costs nothing.
//  - same_object() compares identity, operator== compares contents.  Rows
//    made while a parsing context held one text share that exact object,
//    which lets consumers take a fast path on identity.
#ifndef LEDGERLY_PARSER_SHARED_TEXT_H_
#define LEDGERLY_PARSER_SHARED_TEXT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace ledgerly::parser {

class SharedText {
 public:
  SharedText() noexcept = default;
  explicit SharedText(std::string_view text) : rep_(make(text)) {}

  SharedText(const SharedText& other) noexcept : rep_(other.rep_) { retain(); }
  SharedText(SharedText&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  SharedText& operator=(const SharedText& other) noexcept {
    if (rep_ != other.rep_) {
      other.retain();
      release();
      rep_ = other.rep_;
    }
    return *this;
  }
  SharedText& operator=(SharedText&& other) noexcept {
    if (this != &other) {
      release();
      rep_ = other.rep_;
      other.rep_ = nullptr;
    }
    return *this;
  }
  ~SharedText() { release(); }

  std::string_view view() const noexcept {
    return rep_ ? std::string_view(rep_->bytes, rep_->size) : std::string_view();
  }
  const char* data() const noexcept { return rep_ ? rep_->bytes : ""; }
  std::size_t size() const noexcept { return rep_ ? rep_->size : 0; }
  bool empty() const noexcept { return size() == 0; }

  // True when both hold the very same heap block (or both are empty).
  bool same_object(const SharedText& other) const noexcept { return rep_ == other.rep_; }
  // Opaque identity, usable as a cache key while this text is alive.
  const void* identity() const noexcept { return rep_; }

  friend bool operator==(const SharedText& a, const SharedText& b) noexcept {
    return a.rep_ == b.rep_ || a.view() == b.view();
  }
  friend bool operator==(const SharedText& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  struct Rep {
    std::atomic<std::uint32_t> refs;
    std::uint32_t size;
    char bytes[1];  // really `size` bytes plus a terminating NUL
  };

  static Rep* make(std::string_view text) {
    if (text.empty()) return nullptr;
    if (text.size() > UINT32_MAX - 64) throw std::bad_alloc();
    void* block = std::malloc(offsetof(Rep, bytes) + text.size() + 1);
    if (block == nullptr) throw std::bad_alloc();
    Rep* rep = ::new (block) Rep{{1}, static_cast<std::uint32_t>(text.size()), {0}};
    std::memcpy(rep->bytes, text.data(), text.size());
    rep->bytes[text.size()] = '\0';
    return rep;
  }
  void retain() const noexcept {
    if (rep_) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (rep_ && rep_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      rep_->~Rep();
      std::free(rep_);
    }
    rep_ = nullptr;
  }

  Rep* rep_ = nullptr;
};

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_SHARED_TEXT_H_
