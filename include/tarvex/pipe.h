/* Pipes: anonymous and named pipes. */
#ifndef TARVEX_PIPE_H
#define TARVEX_PIPE_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

TARVEX_EXTERN_C_END

#endif
