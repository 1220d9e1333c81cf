/* Shared memory: file mappings and their views. */
#ifndef TARVEX_SHM_H
#define TARVEX_SHM_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

TARVEX_EXTERN_C_END

#endif
