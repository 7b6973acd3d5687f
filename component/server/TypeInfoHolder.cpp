#include "TypeInfoHolder.h"

#include "Owners.h"
#include "TallyfoldModule.h"

#include <new>

namespace tallyfold {

HRESULT TypeInfoHolder::EnsureLoaded(LCID lcid) noexcept
{
    if (m_bLoaded)
        return S_OK;

    critical_section_lock lock(Module().TypeInfoLock());
    if (!m_pInfo) {
        com_ptr<ITypeLib> typeLib;
        HRESULT hr = ::LoadRegTypeLib(Module().Libid(), 1, 0, lcid, typeLib.put());
        if (FAILED(hr))
            return hr;
        com_ptr<ITypeInfo> info;
        hr = typeLib->GetTypeInfoOfGuid(m_iid, info.put());
        if (FAILED(hr))
            return hr;
        com_ptr<ITypeInfo2> info2;
        if (SUCCEEDED(info.query(IID_ITypeInfo2, info2)))
            info = com_ptr<ITypeInfo>(info2.get());
        m_pInfo = info.detach();
        Module().AddTermFunc(&TypeInfoHolder::Release, this);
    }
    if (!m_pNames) {
        HRESULT hr = BuildNameCache();
        if (FAILED(hr))
            return hr;
    }
    ::InterlockedExchange(&m_bLoaded, 1);
    return S_OK;
}

HRESULT TypeInfoHolder::BuildNameCache() noexcept
{
    TYPEATTR* attr = nullptr;
    HRESULT hr = m_pInfo->GetTypeAttr(&attr);
    if (FAILED(hr))
        return hr;
    const int count = attr->cFuncs;
    m_pInfo->ReleaseTypeAttr(attr);

    NameEntry* names = new (std::nothrow) NameEntry[count > 0 ? count : 1]();
    if (!names)
        return E_OUTOFMEMORY;
    for (int i = 0; i < count; ++i) {
        FUNCDESC* desc = nullptr;
        hr = m_pInfo->GetFuncDesc(i, &desc);
        if (FAILED(hr))
            break;
        BSTR name = nullptr;
        hr = m_pInfo->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr);
        names[i] = {name, ::SysStringLen(name), desc->memid};
        m_pInfo->ReleaseFuncDesc(desc);
        if (FAILED(hr))
            break;
    }
    if (FAILED(hr)) {
        for (int i = 0; i < count; ++i)
            ::SysFreeString(names[i].name);
        delete[] names;
        return hr;
    }
    m_pNames = names;
    m_nNames = count;
    return S_OK;
}

void TypeInfoHolder::Release(void* self) noexcept
{
    auto* holder = static_cast<TypeInfoHolder*>(self);
    for (int i = 0; i < holder->m_nNames; ++i)
        ::SysFreeString(holder->m_pNames[i].name);
    delete[] holder->m_pNames;
    holder->m_pNames = nullptr;
    holder->m_nNames = 0;
    if (holder->m_pInfo)
        holder->m_pInfo->Release();
    holder->m_pInfo = nullptr;
    holder->m_bLoaded = 0;
}

HRESULT TypeInfoHolder::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) noexcept
{
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    HRESULT hr = EnsureLoaded(lcid);
    if (FAILED(hr))
        return hr;
    m_pInfo->AddRef();
    *ppTInfo = m_pInfo;
    return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) noexcept
{
    HRESULT hr = EnsureLoaded(lcid);
    if (FAILED(hr))
        return hr;
    if (cNames == 1 && rgszNames && rgszNames[0] && rgDispId) {
        const UINT length = static_cast<UINT>(::lstrlenW(rgszNames[0]));
        for (int i = m_nNames - 1; i >= 0; --i) {
            const NameEntry& entry = m_pNames[i];
            if (entry.length == length && entry.name &&
                ::memcmp(entry.name, rgszNames[0], length * sizeof(wchar_t)) == 0) {
                rgDispId[0] = entry.dispid;
                return S_OK;
            }
        }
    }
    return m_pInfo->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT TypeInfoHolder::Invoke(IDispatch* pDispatch, DISPID dispIdMember, REFIID, LCID lcid, WORD wFlags,
                               DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                               UINT* puArgErr) noexcept
{
    HRESULT hr = EnsureLoaded(lcid);
    if (FAILED(hr))
        return hr;
    return m_pInfo->Invoke(pDispatch, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

} // namespace tallyfold
