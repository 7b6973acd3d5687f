// The platform file calls whose failures no test machine brings about for real: a flush or a
// close that fails after the data went into the cache (a network share with write-behind
// caching, a volume that fills while the cache is written out), and a listing that a dropped
// share cuts short. The workers make these calls through this table, so that in-process tests
// can put failing stand-ins in its place; the component itself never changes it.
#pragma once

#include <windows.h>

namespace tallyfold {

struct FileCalls {
    BOOL(WINAPI* flushFileBuffers)(HANDLE);
    BOOL(WINAPI* closeHandle)(HANDLE);
    BOOL(WINAPI* findNextFileW)(HANDLE, LPWIN32_FIND_DATAW);
};

extern FileCalls g_fileCalls;

} // namespace tallyfold
