// The one door from the Windows port to the Win32 API. On Windows it is the
// system headers; the Linux test build puts a recording double in their place.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <mmsystem.h>
#elif defined(TARVO_WIN32_DOUBLE)
// The test build puts its double in front of every source it compiles.
#else
#error "The Win32 sources build only for Windows or against the test double"
#endif
