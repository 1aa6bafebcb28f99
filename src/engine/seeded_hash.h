// The engine's hash tables use the parser's seeded text hash (a row keeps
// the hash of its message key, made while parsing).
#ifndef LEDGERLY_ENGINE_SEEDED_HASH_H_
#define LEDGERLY_ENGINE_SEEDED_HASH_H_

#include "parser/seeded_hash.h"

namespace ledgerly::engine {

using parser::SeededHash;
using parser::TextEqual;

}  // namespace ledgerly::engine

#endif  // LEDGERLY_ENGINE_SEEDED_HASH_H_
