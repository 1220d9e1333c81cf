// The registry's own bookkeeping files: a key directory's ".key" marker and one ".<value>.reg"
// file per value. Directory searches never report them and a key directory holding them is not
// empty; this unit only recognises the names, and keeps no state.
#include <tarvex/registry.h>
#include <tarvex/text.h>

#include <strings.h>

extern "C" {

// Both forms begin with a dot, which settles most names without a match. A value's ".bak"
// backup is not one of them.
TARVEX_API int IsRegistryFile(const char* name) {
    if (name == nullptr || name[0] != '.') return 0;
    return WildCardMatch(name, ".*.reg") || strcasecmp(name, ".key") == 0 ? 1 : 0;
}

}  // extern "C"
