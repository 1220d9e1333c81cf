/* The umbrella a Win32 source includes: every tarvex subsystem header. */
#ifndef TARVEX_WINDOWS_H
#define TARVEX_WINDOWS_H

#include <tarvex/base.h>
#include <tarvex/core.h>
#include <tarvex/sync.h>
#include <tarvex/files.h>
#include <tarvex/proc.h>
#include <tarvex/pipe.h>
#include <tarvex/shm.h>
#include <tarvex/registry.h>
#include <tarvex/time.h>
#include <tarvex/text.h>
#include <tarvex/module.h>

#endif
