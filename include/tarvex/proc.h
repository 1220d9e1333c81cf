/* Threads and processes: threads, thread-local storage, child processes, process enumeration. */
#ifndef TARVEX_PROC_H
#define TARVEX_PROC_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

TARVEX_EXTERN_C_END

#endif
