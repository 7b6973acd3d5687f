// Stand-ins for the workers' platform file calls, for failures that no test machine brings
// about for real (a flush or close that fails on a network share, a listing that a dropped
// share cuts short). In place for as long as the object lives; the real calls come back after.
#pragma once

#include "FileCalls.h"

namespace tftest {

class FileCallsStandIn {
public:
    explicit FileCallsStandIn(const tallyfold::FileCalls& standIns) : m_saved(tallyfold::g_fileCalls)
    {
        tallyfold::g_fileCalls = standIns;
    }
    ~FileCallsStandIn() { tallyfold::g_fileCalls = m_saved; }
    FileCallsStandIn(const FileCallsStandIn&) = delete;
    FileCallsStandIn& operator=(const FileCallsStandIn&) = delete;

private:
    tallyfold::FileCalls m_saved;
};

} // namespace tftest
