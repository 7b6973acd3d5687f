// The platform file calls whose failures no test machine brings about for real: a flush or a
// close that fails after the data went into the cache (a network share with write-behind
// caching, a volume that fills while the cache is written out), and a listing that a dropped
// share cuts short. Each worker is given its calls when it is made and keeps its own copy: the
// platform's, unless an in-process test gives failing stand-ins. No table of them is shared.
#pragma once

#include <windows.h>

namespace tallyfold {

struct FileCalls {
    BOOL(WINAPI* flushFileBuffers)(HANDLE) = ::FlushFileBuffers;
    BOOL(WINAPI* closeHandle)(HANDLE) = ::CloseHandle;
    BOOL(WINAPI* findNextFileW)(HANDLE, LPWIN32_FIND_DATAW) = ::FindNextFileW;
};

} // namespace tallyfold
