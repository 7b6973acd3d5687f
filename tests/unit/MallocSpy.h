// The one spy on the process's task memory that the in-process tests share. While armed it
// counts the allocations asked for, can fail the n-th of them or every one of a size, can run a
// hook once at the first allocation of one of some sizes, keeps every block allocated while
// armed until it is freed, and counts blocks freed a second time. It is registered once for the
// whole process (see MallocSpyEnvironment): blocks allocated under a spy are freed through it
// long after, so it never goes away.
#pragma once

#include "TestSupport.h"

#include <objidl.h>

#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace tftest {

class MallocSpy final : public IMallocSpy {
public:
    static MallocSpy& Instance()
    {
        static MallocSpy spy;
        return spy;
    }

    // Watches the calling thread only and fails its failAt-th allocation (0: nothing fails).
    void Arm(unsigned failAt) { Start(false, failAt, 0); }
    // Watches every thread and fails each allocation of exactly this size.
    void ArmForSize(SIZE_T size) { Start(true, 0, size); }
    // Watches every thread without failing anything.
    void Watch() { Start(true, 0, 0); }
    void Disarm()
    {
        tallyfold::critical_section_lock lock(m_lock);
        m_armed = false;
        m_hook = nullptr;
        m_hookSizes.clear();
    }
    // Runs hook(size) inside the first allocation of one of these sizes while armed.
    void HookFirst(std::set<SIZE_T> sizes, std::function<void(SIZE_T)> hook)
    {
        tallyfold::critical_section_lock lock(m_lock);
        m_hookSizes = std::move(sizes);
        m_hook = std::move(hook);
    }

    // Since the spy was last armed: allocations asked for, those made to fail, the size of the
    // last that failed, and blocks freed that were already free.
    unsigned Reached()
    {
        tallyfold::critical_section_lock lock(m_lock);
        return m_reached;
    }
    unsigned Failures()
    {
        tallyfold::critical_section_lock lock(m_lock);
        return m_failures;
    }
    SIZE_T FailedSize()
    {
        tallyfold::critical_section_lock lock(m_lock);
        return m_failedSize;
    }
    int DoubleFrees()
    {
        tallyfold::critical_section_lock lock(m_lock);
        return m_doubleFrees;
    }

    // Blocks allocated while armed and not freed since; arming again does not forget them.
    size_t Outstanding()
    {
        tallyfold::critical_section_lock lock(m_lock);
        return m_live.size();
    }
    void ForgetOutstanding()
    {
        tallyfold::critical_section_lock lock(m_lock);
        m_live.clear();
        m_freed.clear();
    }
    // Copies of the outstanding blocks of this size, except the one at except. Frees and
    // reallocations wait for the lock, so no block goes away while it is copied.
    std::vector<std::vector<BYTE>> OutstandingOfSize(SIZE_T size, const void* except)
    {
        std::vector<std::vector<BYTE>> copies;
        tallyfold::critical_section_lock lock(m_lock);
        for (const auto& [block, blockSize] : m_live) {
            if (block != except && blockSize == size)
                copies.emplace_back(static_cast<const BYTE*>(block), static_cast<const BYTE*>(block) + size);
        }
        return copies;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IMallocSpy)) {
            *ppv = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: the counts do not decide its life.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cbRequest) override
    {
        t_requested = cbRequest;
        std::function<void(SIZE_T)> hook;
        {
            tallyfold::critical_section_lock lock(m_lock);
            if (!Watching())
                return cbRequest;
            if (m_hook && m_hookSizes.count(cbRequest)) {
                hook = std::move(m_hook);
                m_hook = nullptr;
            }
            if (++m_reached == m_failAt || (m_failSize != 0 && cbRequest == m_failSize)) {
                ++m_failures;
                m_failedSize = cbRequest;
                return 0;
            }
        }
        if (hook)
            hook(cbRequest);
        return cbRequest;
    }
    STDMETHODIMP_(void*) PostAlloc(void* pActual) override
    {
        Allocated(pActual);
        return pActual;
    }
    STDMETHODIMP_(void*) PreFree(void* pRequest, BOOL) override
    {
        tallyfold::critical_section_lock lock(m_lock);
        if (pRequest && Watching() && !m_freed.insert(pRequest).second)
            ++m_doubleFrees;
        m_live.erase(pRequest);
        return pRequest;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL) override
    {
        {
            tallyfold::critical_section_lock lock(m_lock);
            m_live.erase(pRequest);
        }
        t_requested = cbRequest;
        *ppNewRequest = pRequest;
        return cbRequest;
    }
    STDMETHODIMP_(void*) PostRealloc(void* pActual, BOOL) override
    {
        Allocated(pActual);
        return pActual;
    }
    STDMETHODIMP_(void*) PreGetSize(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
    STDMETHODIMP_(void*) PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    MallocSpy() { ::InitializeCriticalSection(&m_lock); }

    void Start(bool allThreads, unsigned failAt, SIZE_T failSize)
    {
        tallyfold::critical_section_lock lock(m_lock);
        m_allThreads = allThreads;
        m_thread = ::GetCurrentThreadId();
        m_failAt = failAt;
        m_failSize = failSize;
        m_reached = 0;
        m_failures = 0;
        m_failedSize = 0;
        m_doubleFrees = 0;
        m_armed = true;
    }
    bool Watching() const { return m_armed && (m_allThreads || ::GetCurrentThreadId() == m_thread); }

    // A block that comes back from the allocator is no longer a freed one, whoever asked for it.
    void Allocated(void* pActual)
    {
        if (!pActual)
            return;
        tallyfold::critical_section_lock lock(m_lock);
        m_freed.erase(pActual);
        if (Watching())
            m_live[pActual] = t_requested;
    }

    static inline thread_local SIZE_T t_requested = 0; // between Pre and Post of this thread's call
    CRITICAL_SECTION m_lock;
    bool m_armed = false;
    bool m_allThreads = false;
    DWORD m_thread = 0;
    unsigned m_failAt = 0;
    SIZE_T m_failSize = 0;
    unsigned m_reached = 0;
    unsigned m_failures = 0;
    SIZE_T m_failedSize = 0;
    int m_doubleFrees = 0;
    std::map<void*, SIZE_T> m_live;
    std::set<void*> m_freed;
    std::set<SIZE_T> m_hookSizes;
    std::function<void(SIZE_T)> m_hook;
};

// Registers the spy for the whole process. Done once, before any apartment has come and gone:
// the platform's allocator does not take a spy well that arrives after that. One block
// allocated and freed at once gives the allocator its table of watched blocks, which it reads
// when a block made before the spy is freed.
inline HRESULT RegisterMallocSpy()
{
    const HRESULT hr = ::CoRegisterMallocSpy(&MallocSpy::Instance());
    if (SUCCEEDED(hr))
        ::CoTaskMemFree(::CoTaskMemAlloc(16));
    return hr;
}

class MallocSpyEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_HR(S_OK, RegisterMallocSpy()); }
};

} // namespace tftest
