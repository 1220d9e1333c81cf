/* Modules and resources: dynamic libraries, the event log, version resources. */
#ifndef TARVEX_MODULE_H
#define TARVEX_MODULE_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

TARVEX_EXTERN_C_END

#endif
