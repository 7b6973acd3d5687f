// tallyfold_exit_child SITUATION: a process that ends (ExitProcess) with the DLL loaded and in
// use. At a process's end the platform stops every other thread wherever it stands, then
// notifies each DLL, and the C runtime runs the DLL's static destructors after its entry point;
// code of the DLL's that took a lock such a thread held would wait for ever.
//
// log:    another thread is stopped inside the diagnostic log's lock. It writes a record (the
//         result object refuses a null out-pointer with one) while this thread holds the lock
//         of the C runtime's heap, which the record needs for the copy of the log's path it
//         makes inside the log's lock. Holding the heap lock here is harmless for the end
//         itself: the thread that ends the process owns it. The process must end.
// memory: the DLL has cached its class objects, loaded its type information (the member names
//         it keeps are task memory, freed through the spy when OANOCACHE is set) and set its
//         log's path. Once the process is ending, a spy on task memory ends it at once with exit
//         code 3 if anything is freed: nothing of the DLL's may run then.
//
// Exit code 0: the process ended. 2: the situation could not be made. 3: memory was freed at
// the process's end.
#include "TestSupport.h"

#include <malloc.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>

using namespace tftest;

namespace {

struct Shared {
    CLIGetXmlResultQR* result = nullptr;
    tallyfold::unique_handle warmedUp{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    tallyfold::unique_handle go{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

HANDLE CrtHeap()
{
    return reinterpret_cast<HANDLE>(_get_heap_handle());
}

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

std::atomic<bool> g_ending{false};

// Only what the end needs: it allocates nothing, takes no lock and keeps no books (the spy that
// the in-process tests share does all three, which the end could wait on).
class EndSpy final : public IMallocSpy {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IMallocSpy))
            return E_NOINTERFACE;
        *ppv = static_cast<IMallocSpy*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
    STDMETHODIMP_(void*) PostAlloc(void* pActual) override { return pActual; }
    STDMETHODIMP_(void*) PreFree(void* pRequest, BOOL) override
    {
        if (g_ending)
            ::TerminateProcess(::GetCurrentProcess(), 3);
        return pRequest;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL) override
    {
        *ppNewRequest = pRequest;
        return cbRequest;
    }
    STDMETHODIMP_(void*) PostRealloc(void* pActual, BOOL) override { return pActual; }
    STDMETHODIMP_(void*) PreGetSize(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
    STDMETHODIMP_(void*) PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}
};

int Fail(const char* what)
{
    std::printf("tallyfold_exit_child: %s\n", what);
    std::fflush(stdout);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool memory = argc == 2 && std::wcscmp(argv[1], L"memory") == 0;
    if (argc != 2 || (!memory && std::wcscmp(argv[1], L"log") != 0))
        return Fail("usage: tallyfold_exit_child log|memory");
    if (EnvW(L"TALLYFOLD_OUTPUT").empty())
        return Fail("TALLYFOLD_OUTPUT must be set, so that the log and its path are in use");
    static EndSpy spy;
    if (memory && FAILED(::CoRegisterMallocSpy(&spy)))
        return Fail("cannot register the spy on task memory");
    ::CoInitialize(nullptr);
    TallyfoldDll dll;
    if (!dll.Loaded())
        return Fail("cannot load the DLL named by TALLYFOLD_DLL");
    com_ptr<CLIGetXmlResultQR> result;
    if (FAILED(dll.Create(CLSID_CLCGetXmlResultQR, IID_CLIGetXmlResultQR, result)))
        return Fail("cannot create a result object");

    Shared shared;
    shared.result = result.get();
    if (memory) {
        // A name looked up through IDispatch loads the type information.
        OLECHAR name[] = L"Result";
        LPOLESTR names[] = {name};
        DISPID dispid = 0;
        if (FAILED(result->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid)))
            return Fail("cannot load the type information (is the DLL registered?)");
        std::printf("tallyfold_exit_child: the DLL holds what it releases when unloaded; ending the process\n");
        std::fflush(stdout);
        g_ending = true;
        ::ExitProcess(0);
    }

    tallyfold::unique_handle thread(::CreateThread(nullptr, 0, WriteRecords, &shared, 0, nullptr));
    if (!thread || ::WaitForSingleObject(shared.warmedUp.get(), 10000) != WAIT_OBJECT_0)
        return Fail("the writing thread did not start");
    if (!::HeapLock(CrtHeap()))
        return Fail("cannot lock the C runtime's heap");
    ::SetEvent(shared.go.get());
    // A record takes microseconds; a thread still at it after a second waits for the heap.
    if (::WaitForSingleObject(thread.get(), 1000) != WAIT_TIMEOUT)
        return Fail("the writing thread was not held inside the record");
    std::printf("tallyfold_exit_child: a thread is held inside a record; ending the process\n");
    std::fflush(stdout);
    ::ExitProcess(0);
}
