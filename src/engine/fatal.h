// FatalError: a broken invariant inside a refresh (poisoned lock, a worker
// thread that could not start or that died).  The binding turns it into the
// module's PanicException; the engine that raised it is unusable afterwards.
#ifndef LEDGERLY_ENGINE_FATAL_H_
#define LEDGERLY_ENGINE_FATAL_H_

#include <stdexcept>
#include <string>

namespace ledgerly::engine {

class FatalError : public std::runtime_error {
 public:
  // `message` is the whole text, for example
  // "parser worker panicked: Any { .. }".
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_FATAL_H_
