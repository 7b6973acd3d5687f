// tallyfold_exit_child: a process that ends (ExitProcess) while another of its threads is
// stopped inside the diagnostic log's lock, with the log on. At a process's end the platform
// stops every other thread wherever it stands, then notifies each DLL; a DLL that takes a lock
// such a thread held waits for ever, and the process never ends.
//
// The thread is stopped there for real: it writes a record (the result object refuses a null
// out-pointer with one) while this thread holds the lock of the C runtime's heap, which the
// record needs for the copy of the log's path it makes inside the log's lock. Holding the heap
// lock here is harmless for the end itself: the thread that ends the process owns it.
//
// Exit code 0: the process ended. 2: the situation could not be made.
#include "TestSupport.h"

#include <malloc.h>
#include <windows.h>

#include <cstdio>

using namespace tftest;

namespace {

struct Shared {
    CLIGetXmlResultQR* result = nullptr;
    tallyfold::unique_handle warmedUp{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    tallyfold::unique_handle go{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

DWORD WINAPI WriteRecords(void* parameter)
{
    Shared& shared = *static_cast<Shared*>(parameter);
    // A first record, so that this thread's own first-use allocations are behind it.
    shared.result->get_Result(nullptr);
    ::SetEvent(shared.warmedUp.get());
    ::WaitForSingleObject(shared.go.get(), INFINITE);
    shared.result->get_Result(nullptr);
    return 0;
}

int Fail(const char* what)
{
    std::printf("tallyfold_exit_child: %s\n", what);
    std::fflush(stdout);
    return 2;
}

} // namespace

int main()
{
    if (EnvW(L"TALLYFOLD_OUTPUT").empty())
        return Fail("TALLYFOLD_OUTPUT must be set, so that the log and its lock are in use");
    ::CoInitialize(nullptr);
    TallyfoldDll dll;
    if (!dll.Loaded())
        return Fail("cannot load the DLL named by TALLYFOLD_DLL");
    com_ptr<CLIGetXmlResultQR> result;
    if (FAILED(dll.Create(CLSID_CLCGetXmlResultQR, IID_CLIGetXmlResultQR, result)))
        return Fail("cannot create a result object");

    Shared shared;
    shared.result = result.get();
    tallyfold::unique_handle writer(::CreateThread(nullptr, 0, WriteRecords, &shared, 0, nullptr));
    if (!writer || ::WaitForSingleObject(shared.warmedUp.get(), 10000) != WAIT_OBJECT_0)
        return Fail("the writing thread did not start");

    const HANDLE crtHeap = reinterpret_cast<HANDLE>(_get_heap_handle());
    if (!::HeapLock(crtHeap))
        return Fail("cannot lock the C runtime's heap");
    ::SetEvent(shared.go.get());
    // A record takes microseconds; a thread still at it after a second waits for the heap.
    if (::WaitForSingleObject(writer.get(), 1000) != WAIT_TIMEOUT)
        return Fail("the writing thread was not held inside the record");
    std::printf("tallyfold_exit_child: a thread is held inside a record; ending the process\n");
    std::fflush(stdout);
    ::ExitProcess(0);
}
