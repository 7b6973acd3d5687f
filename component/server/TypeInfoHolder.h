// The type information of one dual interface, loaded once per process from the registered
// type library, with a cache of member names so that a script's usual one-name lookup does
// not reach into the type information.
#pragma once

#include <oaidl.h>
#include <windows.h>

namespace tallyfold {

class TypeInfoHolder {
public:
    explicit TypeInfoHolder(const IID& iid) noexcept : m_iid(iid) {}
    TypeInfoHolder(const TypeInfoHolder&) = delete;
    TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) noexcept;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) noexcept;
    HRESULT Invoke(IDispatch* pDispatch, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) noexcept;

private:
    struct NameEntry {
        BSTR name;
        UINT length;
        DISPID dispid;
    };

    HRESULT EnsureLoaded(LCID lcid) noexcept;
    HRESULT BuildNameCache() noexcept;
    static void Release(void* self) noexcept;

    const IID& m_iid;
    ITypeInfo* m_pInfo = nullptr;
    NameEntry* m_pNames = nullptr;
    int m_nNames = 0;
    volatile LONG m_bLoaded = 0;
};

} // namespace tallyfold
