// TextPool: one SharedText per distinct text among the files one reader
// parses, so that their rows share model and project texts.
//
// Each file's context would otherwise make its own object for a model or
// directory it names, and a tree of many files holds a copy per file of the
// same few texts; the export, which tells texts apart by object identity
// first, then meets a new object at every file boundary.
//
// Contract: get() returns a text equal to its argument, the same object for
// equal texts while the pool keeps it.  A pool holds a reference to each
// text it handed out and at most kMaxTexts of them: past that it lets go
// of all (the texts live on in whatever holds them), so a log naming
// endless distinct texts cannot make it grow without bound.  Not
// thread-safe: one pool per reading thread.
#ifndef LEDGERLY_PARSER_TEXT_POOL_H_
#define LEDGERLY_PARSER_TEXT_POOL_H_

#include <cstddef>
#include <string_view>
#include <unordered_map>

#include "parser/shared_text.h"

namespace ledgerly::parser {

class TextPool {
 public:
  static constexpr std::size_t kMaxTexts = 1024;

  SharedText get(std::string_view text) {
    if (text.empty()) return SharedText();
    auto it = texts_.find(text);
    if (it != texts_.end()) return it->second;
    if (texts_.size() >= kMaxTexts) texts_.clear();
    SharedText made(text);
    // The key views the text's own bytes, which live as long as the entry.
    texts_.emplace(made.view(), made);
    return made;
  }

  std::size_t size() const noexcept { return texts_.size(); }

 private:
  std::unordered_map<std::string_view, SharedText> texts_;
};

}  // namespace ledgerly::parser

#endif  // LEDGERLY_PARSER_TEXT_POOL_H_
