// ledgerly._ledger: Engine.refresh returns the report text, with a "files"
// table, and the records followed by one file index per record;
// Engine.delta what changed in them since an earlier generation.
#include "lib/binding.h"

namespace ledgerly::lib {

const Face kFace = {"ledgerly._ledger", "ledgerly._ledger.Engine", engine::Attribution::kFiles,
                    true, true};

}  // namespace ledgerly::lib

// PyMODINIT_FUNC declares the function extern "C" and exported.
PyMODINIT_FUNC PyInit__ledger(void) { return ledgerly::lib::init_module(); }
