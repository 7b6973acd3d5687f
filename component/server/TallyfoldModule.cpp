#include "TallyfoldModule.h"

#include "CLCGetXmlQR.h"
#include "CLCGetXmlResultQR.h"
#include "Owners.h"
#include "ProcessEnd.h"
#include "RegistrationScripts.h"
#include "ScriptableObject.h"
#include "Tallyfold_h.h"
#include "resource.h"

#include <oleauto.h>

#include <new>
#include <string>
#include <vector>

namespace tallyfold {

namespace {

bool g_bStartupFailed = false;

// The first of the three start-up records: the image's handle and a lock of its own.
struct InstanceRecord {
    HINSTANCE hInstance = nullptr;
    CRITICAL_SECTION cs;
    bool csInitialized = false;

    InstanceRecord() noexcept
    {
        static const int anchor = 0;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&anchor), &hInstance);
        csInitialized = ::InitializeCriticalSectionAndSpinCount(&cs, 0) != FALSE;
        if (!csInitialized)
            g_bStartupFailed = true;
    }
    ~InstanceRecord()
    {
        if (csInitialized && !ProcessEnding())
            ::DeleteCriticalSection(&cs);
    }
};

void NoObjectMain(bool) noexcept {}

ClassEntry g_classTable[] = {
    {&CLSID_CLCGetXmlQR, IDR_CLCGETXMLQR, &CreateScriptableInstance<CLCGetXmlQR>, &NoObjectMain, nullptr},
    {&CLSID_CLCGetXmlResultQR, IDR_CLCGETXMLRESULTQR, &CreateScriptableInstance<CLCGetXmlResultQR>, &NoObjectMain,
     nullptr},
};

// The class objects' cache and the lock that fills it.
struct ClassObjectRecord {
    CRITICAL_SECTION cs;
    volatile LONG initialized = 0;
    ClassEntry* begin = g_classTable;
    ClassEntry* end = g_classTable + sizeof(g_classTable) / sizeof(g_classTable[0]);

    ClassObjectRecord() noexcept
    {
        if (::InitializeCriticalSectionAndSpinCount(&cs, 0))
            initialized = 1;
        else
            g_bStartupFailed = true;
    }
    ~ClassObjectRecord()
    {
        if (!initialized || ProcessEnding())
            return;
        for (ClassEntry* entry = begin; entry != end; ++entry) {
            auto* classObject = static_cast<IUnknown*>(::DecodePointer(entry->pCachedClassObject));
            entry->pCachedClassObject = static_cast<IUnknown*>(::EncodePointer(nullptr));
            if (classObject)
                classObject->Release();
        }
        ::DeleteCriticalSection(&cs);
        initialized = 0;
    }
};

// One class object per class. The cache's own reference does not lock the module; every
// client's reference beyond it does.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(InstanceCreator creator) noexcept : m_creator(creator) {}
    bool Init() noexcept { return m_csInitialized = ::InitializeCriticalSectionAndSpinCount(&m_cs, 0) != FALSE; }
    ~ClassFactory()
    {
        if (m_csInitialized)
            ::DeleteCriticalSection(&m_cs);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        const LONG count = ::InterlockedIncrement(&m_cRef);
        if (count == 2)
            Module().Lock();
        return static_cast<ULONG>(count);
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = ::InterlockedDecrement(&m_cRef);
        if (count == 1)
            Module().Unlock();
        else if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter && !::IsEqualIID(riid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        return m_creator(pUnkOuter, riid, ppvObject);
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock)
            Module().Lock();
        else
            Module().Unlock();
        return S_OK;
    }

private:
    volatile LONG m_cRef = 0;
    InstanceCreator m_creator;
    CRITICAL_SECTION m_cs;
    bool m_csInitialized = false;
};

// Start-up runs in this order, and termination in the reverse one, when the DLL is unloaded;
// at the process's end their destructors do nothing (ProcessEnd.h).
InstanceRecord g_instance;
ClassObjectRecord g_classObjects;
CTallyfoldModule g_module;

const GUID kLibid = {0x7ED64AC5, 0x8942, 0x43D4, {0x88, 0x22, 0x0C, 0xB1, 0x53, 0x84, 0x3A, 0xF3}};

// The module's path as 8-bit text, the way registration converts it with the thread's code page.
HRESULT ModulePathA(std::string& path) noexcept
{
    char buffer[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(g_instance.hInstance, buffer, MAX_PATH);
    if (length == 0)
        return HRESULT_FROM_WIN32(::GetLastError());
    if (length >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    try {
        path.assign(buffer, length);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT ThreadAcpToWide(const std::string& text, std::wstring& wide) noexcept
{
    try {
        wide.clear();
        if (text.empty())
            return S_OK;
        const int count = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (count <= 0)
            return HRESULT_FROM_WIN32(::GetLastError());
        wide.resize(static_cast<size_t>(count));
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], count);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// Runs one "REGISTRY" resource of the image, registering or removing what it describes.
HRESULT RunScriptResource(UINT id, bool registering) noexcept
{
    std::string modulePath;
    HRESULT hr = ModulePathA(modulePath);
    if (FAILED(hr))
        return hr;
    try {
        std::wstring module;
        hr = ThreadAcpToWide(modulePath, module);
        if (FAILED(hr))
            return hr;
        unique_module image(::LoadLibraryExW(module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (!image)
            return HRESULT_FROM_WIN32(::GetLastError());
        std::wstring script;
        hr = LoadRegistrationScript(image.get(), id, script);
        if (FAILED(hr))
            return hr;
        return RunRegistrationScript(script, RegistrationReplacements(module), registering);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

// Loads the image's own type library, or the .tlb beside it.
HRESULT LoadOwnTypeLib(ITypeLib** ppTypeLib, std::wstring& path) noexcept
{
    std::string modulePath;
    HRESULT hr = ModulePathA(modulePath);
    if (FAILED(hr))
        return hr;
    hr = ThreadAcpToWide(modulePath, path);
    if (FAILED(hr))
        return hr;
    hr = ::LoadTypeLib(path.c_str(), ppTypeLib);
    if (SUCCEEDED(hr))
        return hr;
    try {
        const size_t dot = path.find_last_of(L'.');
        const size_t slash = path.find_last_of(L"\\/");
        std::wstring tlb = path.substr(0, dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)
                                              ? dot
                                              : path.size()) + L".tlb";
        const HRESULT hrTlb = ::LoadTypeLib(tlb.c_str(), ppTypeLib);
        if (SUCCEEDED(hrTlb))
            path = tlb;
        return SUCCEEDED(hrTlb) ? hrTlb : hr;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RegisterOwnTypeLib() noexcept
{
    com_ptr<ITypeLib> typeLib;
    std::wstring path;
    HRESULT hr = LoadOwnTypeLib(typeLib.put(), path);
    if (FAILED(hr))
        return hr;
    // The library names no help file, so no help directory is passed.
    unique_bstr helpFile;
    typeLib->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.put());
    return ::RegisterTypeLib(typeLib.get(), const_cast<LPOLESTR>(path.c_str()), nullptr);
}

HRESULT UnregisterOwnTypeLib() noexcept
{
    com_ptr<ITypeLib> typeLib;
    std::wstring path;
    HRESULT hr = LoadOwnTypeLib(typeLib.put(), path);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = typeLib->GetLibAttr(&attr);
    if (FAILED(hr))
        return hr;
    const GUID libid = attr->guid;
    const WORD major = attr->wMajorVerNum;
    const WORD minor = attr->wMinorVerNum;
    const LCID lcid = attr->lcid;
    const SYSKIND syskind = attr->syskind;
    typeLib->ReleaseTLibAttr(attr);
    return ::UnRegisterTypeLib(libid, major, minor, lcid, syskind);
}

// Registration converts 8-bit text with the system's code page, whatever the caller's
// thread locale; the caller's locale is given back on every path.
class SystemThreadLocale {
public:
    SystemThreadLocale() noexcept : m_saved(::GetThreadLocale()) { ::SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemThreadLocale() { ::SetThreadLocale(m_saved); }
    SystemThreadLocale(const SystemThreadLocale&) = delete;
    SystemThreadLocale& operator=(const SystemThreadLocale&) = delete;

private:
    LCID m_saved;
};

} // namespace

struct CTallyfoldModule::TermFunc {
    void (*func)(void*);
    void* argument;
    TermFunc* next;
};

CTallyfoldModule* CTallyfoldModule::s_pModule = nullptr;

CTallyfoldModule::CTallyfoldModule() noexcept
{
    s_pModule = this;
    m_bTypeInfoLockInitialized = ::InitializeCriticalSectionAndSpinCount(&m_csTypeInfo, 0) != FALSE;
    if (!m_bTypeInfoLockInitialized)
        g_bStartupFailed = true;
    for (ClassEntry& entry : g_classTable) {
        entry.pCachedClassObject = static_cast<IUnknown*>(::EncodePointer(nullptr));
        entry.objectMain(true);
    }
}

CTallyfoldModule::~CTallyfoldModule()
{
    if (ProcessEnding())
        return;
    for (ClassEntry& entry : g_classTable)
        entry.objectMain(false);
    while (m_pTermFuncs) {
        TermFunc* term = m_pTermFuncs;
        m_pTermFuncs = term->next;
        term->func(term->argument);
        delete term;
    }
    if (m_bTypeInfoLockInitialized)
        ::DeleteCriticalSection(&m_csTypeInfo);
    m_bTypeInfoLockInitialized = false;
}

bool CTallyfoldModule::AddTermFunc(void (*func)(void*), void* argument) noexcept
{
    auto* term = new (std::nothrow) TermFunc{func, argument, nullptr};
    if (!term)
        return false;
    // Called under the type-information lock, the only place that adds.
    term->next = m_pTermFuncs;
    m_pTermFuncs = term;
    return true;
}

const GUID& CTallyfoldModule::Libid() const noexcept
{
    return kLibid;
}

const wchar_t* CTallyfoldModule::AppId() const noexcept
{
    return kTallyfoldAppId;
}

HRESULT CTallyfoldModule::DllCanUnloadNow() const noexcept
{
    return m_nLockCnt == 0 ? S_OK : S_FALSE;
}

HRESULT CTallyfoldModule::DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!g_classObjects.initialized)
        return E_UNEXPECTED;

    HRESULT hr = S_OK;
    for (ClassEntry* entry = g_classObjects.begin; entry != g_classObjects.end; ++entry) {
        if (!entry->createInstance || !::IsEqualCLSID(*entry->pclsid, rclsid))
            continue;
        if (!::DecodePointer(entry->pCachedClassObject)) {
            critical_section_lock lock(g_classObjects.cs);
            if (!::DecodePointer(entry->pCachedClassObject)) {
                auto* factory = new (std::nothrow) ClassFactory(entry->createInstance);
                if (!factory) {
                    hr = E_OUTOFMEMORY;
                } else if (!factory->Init()) {
                    delete factory;
                    hr = E_OUTOFMEMORY;
                } else {
                    IUnknown* unknown = nullptr;
                    hr = factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
                    if (SUCCEEDED(hr))
                        entry->pCachedClassObject = static_cast<IUnknown*>(::EncodePointer(unknown));
                    else
                        delete factory;
                }
            }
        }
        if (auto* classObject = static_cast<IUnknown*>(::DecodePointer(entry->pCachedClassObject)))
            hr = classObject->QueryInterface(riid, ppv);
        break;
    }
    if (!*ppv && SUCCEEDED(hr))
        hr = CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

HRESULT CTallyfoldModule::DllRegisterServer() noexcept
{
    SystemThreadLocale locale;
    HRESULT hr = RunScriptResource(IDR_APPID, true);
    for (ClassEntry* entry = g_classObjects.begin; SUCCEEDED(hr) && entry != g_classObjects.end; ++entry)
        hr = RunScriptResource(entry->registryScriptId, true); // the classes implement no component categories
    if (SUCCEEDED(hr))
        hr = RegisterOwnTypeLib();
    return hr;
}

HRESULT CTallyfoldModule::DllUnregisterServer() noexcept
{
    SystemThreadLocale locale;
    HRESULT hr = S_OK;
    for (ClassEntry* entry = g_classObjects.begin; SUCCEEDED(hr) && entry != g_classObjects.end; ++entry)
        hr = RunScriptResource(entry->registryScriptId, false);
    if (SUCCEEDED(hr))
        hr = UnregisterOwnTypeLib();
    if (SUCCEEDED(hr))
        hr = RunScriptResource(IDR_APPID, false);
    return hr;
}

CTallyfoldModule& Module() noexcept
{
    return *CTallyfoldModule::Instance();
}

bool StartupFailed() noexcept
{
    return g_bStartupFailed;
}

HINSTANCE ModuleInstance() noexcept
{
    return g_instance.hInstance;
}

} // namespace tallyfold
