// The Engine object's layout and its engine lock, shared by the units that
// implement its methods (engine_type.cpp: the class and refresh;
// state_methods.cpp: save and load).
#ifndef LEDGERLY_LIB_ENGINE_OBJECT_H_
#define LEDGERLY_LIB_ENGINE_OBJECT_H_

#include <atomic>

#include "engine/engine_lock.h"
#include "engine/state.h"
#include "lib/binding.h"

namespace ledgerly::lib {

// The state of one Engine object.  `state` is touched only by the holder of
// `lock`.  `lost_export` is set after the lock is released, when a refresh
// that exported could not hand its result over; the next holder moves it
// into the state.
struct Native {
  engine::EngineLock lock;
  engine::Engine state;
  std::atomic<bool> lost_export{false};
};

struct EngineObject {
  PyObject_HEAD
  Native* native;
};

// The Native of `self` when it is an instance of the Engine class made by
// this module (checked against the type object the module made, not the
// class's current slots) and has a state; otherwise nullptr with TypeError
// "Engine.<method>() requires an Engine instance".
Native* native_of(PyObject* self, const char* method);

// Takes `native`'s engine lock, waiting for its turn.  Returns nullptr
// when the caller now holds it, or the PanicException text of a lock that
// refuses every caller (poisoned, or busy when this process was forked).
// Call without the interpreter lock.
const char* enter(Native& native) noexcept;

}  // namespace ledgerly::lib

#endif  // LEDGERLY_LIB_ENGINE_OBJECT_H_
