#include "FileCalls.h"

namespace tallyfold {

FileCalls g_fileCalls = {::FlushFileBuffers, ::CloseHandle, ::FindNextFileW};

} // namespace tallyfold
