/* Registry: keys and values kept as directories and files. */
#ifndef TARVEX_REGISTRY_H
#define TARVEX_REGISTRY_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

/* 1 if a bare file name is one of the registry's own bookkeeping files. */
TARVEX_API int IsRegistryFile(const char *name);

TARVEX_EXTERN_C_END

#endif
