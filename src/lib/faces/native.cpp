// ledgerly._native: Engine.refresh returns the report text and the records.
#include "lib/binding.h"

namespace ledgerly::lib {

const Face kFace = {"ledgerly._native", "ledgerly._native.Engine", engine::Attribution::kNone,
                    false, false};

}  // namespace ledgerly::lib

// PyMODINIT_FUNC declares the function extern "C" and exported.
PyMODINIT_FUNC PyInit__native(void) { return ledgerly::lib::init_module(); }
