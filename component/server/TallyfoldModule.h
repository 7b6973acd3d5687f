// The process-wide module: its lock count (what DllCanUnloadNow reads), the class table with
// its cached class objects, and self-registration.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace tallyfold {

// Creates an instance of one class, plain (outer null) or aggregated.
using InstanceCreator = HRESULT (*)(IUnknown* pUnkOuter, REFIID riid, void** ppv);

struct ClassEntry {
    const CLSID* pclsid;
    UINT registryScriptId;
    InstanceCreator createInstance;
    void (*objectMain)(bool starting);
    IUnknown* pCachedClassObject; // stored encoded (EncodePointer)
};

class CTallyfoldModule {
public:
    CTallyfoldModule() noexcept;
    ~CTallyfoldModule();
    CTallyfoldModule(const CTallyfoldModule&) = delete;
    CTallyfoldModule& operator=(const CTallyfoldModule&) = delete;

    LONG Lock() noexcept { return ::InterlockedIncrement(&m_nLockCnt); }
    LONG Unlock() noexcept { return ::InterlockedDecrement(&m_nLockCnt); }
    LONG GetLockCount() const noexcept { return m_nLockCnt; }

    // Guards the one-time loading of type information.
    CRITICAL_SECTION& TypeInfoLock() noexcept { return m_csTypeInfo; }
    // Registers a release to run when the module terminates.
    bool AddTermFunc(void (*func)(void*), void* argument) noexcept;

    const GUID& Libid() const noexcept;
    const wchar_t* AppId() const noexcept;

    HRESULT DllCanUnloadNow() const noexcept;
    HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
    HRESULT DllRegisterServer() noexcept;
    HRESULT DllUnregisterServer() noexcept;

    static CTallyfoldModule* Instance() noexcept { return s_pModule; }

private:
    struct TermFunc;

    volatile LONG m_nLockCnt = 0;
    CRITICAL_SECTION m_csTypeInfo;
    bool m_bTypeInfoLockInitialized = false;
    TermFunc* m_pTermFuncs = nullptr;

    static CTallyfoldModule* s_pModule;
};

// The module object of this process.
CTallyfoldModule& Module() noexcept;

// True when one of the start-up locks could not be made; DllMain then refuses to load.
bool StartupFailed() noexcept;

// The module handle of the component's own image (for its file name and its resources).
HINSTANCE ModuleInstance() noexcept;

} // namespace tallyfold
