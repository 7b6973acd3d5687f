// What every scriptable class of the component shares: QueryInterface over an interface
// table, IDispatch through the type library, ISupportErrorInfo, IObjectSafety, and the plain
// and aggregated forms in which the class object creates instances.
#pragma once

#include "TallyfoldModule.h"
#include "TypeInfoHolder.h"

#include <objsafe.h>
#include <oleauto.h>

#include <cstddef>
#include <new>

namespace tallyfold {

// Both classes declare themselves safe for untrusted callers and untrusted data.
constexpr DWORD kSupportedSafetyOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

struct InterfaceEntry {
    const IID* piid;
    std::ptrdiff_t offset; // from the object's start to the interface's vtable pointer
};

// Derived: the implementing class; DualItf: its dual interface with identifier *piid.
// The IUnknown methods are supplied by PlainObject or ContainedObject below.
template <typename Derived, typename DualItf, const IID* piid>
class ScriptableObject : public ISupportErrorInfo, public DualItf, public IObjectSafety {
public:
    // Searched in order; IID_IUnknown answers with the first row, the object's identity.
    static const InterfaceEntry* InterfaceTable() noexcept
    {
        // Offsets of the bases within Derived, taken on a dummy address as class layouts allow.
        static const std::ptrdiff_t base = 0x100;
        static const InterfaceEntry table[] = {
            {piid, OffsetOf<DualItf>(base)},
            {&IID_IDispatch, OffsetOf<DualItf>(base)},
            {&IID_ISupportErrorInfo, OffsetOf<ISupportErrorInfo>(base)},
            {&IID_IObjectSafety, OffsetOf<IObjectSafety>(base)},
            {nullptr, 0},
        };
        return table;
    }

    HRESULT InternalQueryInterface(REFIID riid, void** ppv) noexcept
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        const InterfaceEntry* table = InterfaceTable();
        char* object = reinterpret_cast<char*>(static_cast<Derived*>(this));
        if (::IsEqualIID(riid, IID_IUnknown)) {
            *ppv = object + table[0].offset;
        } else {
            for (const InterfaceEntry* row = table; row->piid; ++row) {
                if (::IsEqualIID(riid, *row->piid)) {
                    *ppv = object + row->offset;
                    break;
                }
            }
        }
        if (!*ppv)
            return E_NOINTERFACE;
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override
    {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override
    {
        return s_typeInfo.GetTypeInfo(iTInfo, lcid, ppTInfo);
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override
    {
        return s_typeInfo.GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
    }
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override
    {
        return s_typeInfo.Invoke(static_cast<DualItf*>(this), dispIdMember, riid, lcid, wFlags, pDispParams,
                                 pVarResult, pExcepInfo, puArgErr);
    }

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override
    {
        return ::IsEqualIID(riid, *piid) ? S_OK : S_FALSE;
    }

    // IObjectSafety: one options word per object, shared by all its interfaces.
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) override
    {
        if (!pdwSupportedOptions || !pdwEnabledOptions)
            return E_POINTER;
        IUnknown* pUnk = nullptr;
        HRESULT hr = static_cast<IObjectSafety*>(this)->QueryInterface(riid, reinterpret_cast<void**>(&pUnk));
        if (FAILED(hr)) {
            *pdwSupportedOptions = 0;
            *pdwEnabledOptions = 0;
            return hr;
        }
        pUnk->Release();
        *pdwSupportedOptions = kSupportedSafetyOptions;
        *pdwEnabledOptions = m_dwCurrentSafety;
        return S_OK;
    }
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) override
    {
        IUnknown* pUnk = nullptr;
        HRESULT hr = static_cast<IObjectSafety*>(this)->QueryInterface(riid, reinterpret_cast<void**>(&pUnk));
        if (FAILED(hr))
            return E_NOINTERFACE;
        pUnk->Release();
        if (dwOptionSetMask & ~kSupportedSafetyOptions)
            return E_FAIL;
        m_dwCurrentSafety = (m_dwCurrentSafety & ~dwOptionSetMask) | (dwOptionSetMask & dwEnabledOptions);
        return S_OK;
    }

    // Hooks of the creation and destruction of an instance; a class overrides what it needs.
    HRESULT FinalConstruct() noexcept { return S_OK; }
    void FinalRelease() noexcept {}

protected:
    ScriptableObject() = default;
    virtual ~ScriptableObject() = default;

private:
    template <typename Base>
    static std::ptrdiff_t OffsetOf(std::ptrdiff_t base) noexcept
    {
        Derived* object = reinterpret_cast<Derived*>(base);
        return reinterpret_cast<char*>(static_cast<Base*>(object)) - reinterpret_cast<char*>(object);
    }

    DWORD m_dwCurrentSafety = 0;
    static TypeInfoHolder s_typeInfo;
};

template <typename Derived, typename DualItf, const IID* piid>
TypeInfoHolder ScriptableObject<Derived, DualItf, piid>::s_typeInfo{*piid};

// Destroys an instance whose count reached zero; the module stays locked while the object
// is taken apart, so the DLL is not unloaded under its destructor.
template <typename T>
void DestroyInstance(T* object) noexcept
{
    Module().Lock();
    delete object;
    Module().Unlock();
}

// An instance created without a controlling IUnknown. Apartment object: a plain count.
template <typename Base>
class PlainObject final : public Base {
public:
    PlainObject() noexcept { Module().Lock(); }
    ~PlainObject() override
    {
        this->FinalRelease();
        Module().Unlock();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return this->InternalQueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG count = --m_cRef;
        if (count == 0)
            DestroyInstance(this);
        return count;
    }

private:
    ULONG m_cRef = 0;
};

// The class's interfaces inside an aggregate: their IUnknown is the controlling one.
template <typename Base>
class ContainedObject final : public Base {
public:
    explicit ContainedObject(IUnknown* pOuter) noexcept : m_pOuter(pOuter) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_pOuter->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pOuter->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pOuter->Release(); }

private:
    IUnknown* m_pOuter;
};

// An instance created with a controlling IUnknown: the inner, non-delegating IUnknown.
template <typename Base>
class AggregateObject final : public IUnknown {
public:
    explicit AggregateObject(IUnknown* pOuter) noexcept : m_contained(pOuter) { Module().Lock(); }
    virtual ~AggregateObject()
    {
        m_contained.FinalRelease();
        Module().Unlock();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (::IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained.InternalQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG count = --m_cRef;
        if (count == 0)
            DestroyInstance(this);
        return count;
    }

    HRESULT FinalConstruct() noexcept { return m_contained.FinalConstruct(); }

private:
    ULONG m_cRef = 0;
    ContainedObject<Base> m_contained;
};

// Runs final construction on a new instance and asks it for riid (an aggregate answers
// through its non-delegating IUnknown); on any failure the object is destroyed again.
template <typename Object>
HRESULT CompleteInstance(Object* object, REFIID riid, void** ppv) noexcept
{
    if (!object)
        return E_OUTOFMEMORY;
    HRESULT hr = object->FinalConstruct();
    if (SUCCEEDED(hr))
        hr = object->QueryInterface(riid, ppv);
    if (FAILED(hr))
        delete object;
    return hr;
}

// The instance creator of a class: plain without a controlling IUnknown, aggregated with one.
template <typename Base>
HRESULT CreateScriptableInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) noexcept
{
    if (pUnkOuter)
        return CompleteInstance(new (std::nothrow) AggregateObject<Base>(pUnkOuter), riid, ppv);
    return CompleteInstance(new (std::nothrow) PlainObject<Base>(), riid, ppv);
}

} // namespace tallyfold
