// Windows has no fork(): a new process starts from nothing, so no lock can
// be inherited in a half-changed state.
#include "platform/fork.h"

namespace ledgerly::platform {

bool on_fork(void (*)(), void (*)(), void (*)()) noexcept { return true; }

}  // namespace ledgerly::platform
