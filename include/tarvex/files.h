/* Files: file handles and I/O, share modes, paths and directories, directory search. */
#ifndef TARVEX_FILES_H
#define TARVEX_FILES_H

#include <tarvex/base.h>

TARVEX_EXTERN_C_BEGIN

TARVEX_EXTERN_C_END

#endif
