/* Registry: keys and values kept as directories and files. */
#ifndef TARVEX_REGISTRY_H
#define TARVEX_REGISTRY_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

TARVEX_EXTERN_C_END

#endif
