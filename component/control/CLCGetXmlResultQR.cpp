#include "CLCGetXmlResultQR.h"

#include "DiagnosticLog.h"
#include "QRErrorTable.h"

namespace tallyfold {

namespace {

// A fresh, byte-exact copy of the stored string (embedded NULs included); null stays null.
HRESULT CopyOut(const unique_bstr& member, BSTR* pVal, const char* functionName) noexcept
{
    if (!pVal) {
        TF_WRITE_LOG(functionName, kLogInvalidPointer);
        return E_POINTER;
    }
    if (!member) {
        *pVal = nullptr;
        return S_OK;
    }
    BSTR copy = ::SysAllocStringByteLen(reinterpret_cast<const char*>(member.get()), ::SysStringByteLen(member.get()));
    if (!copy) {
        TF_WRITE_LOG(functionName, kLogUnexpectedError);
        return E_FAIL;
    }
    *pVal = copy;
    return S_OK;
}

// Stores a copy of the new value read up to its first NUL.
HRESULT StoreCopy(unique_bstr& member, BSTR newVal, const char* functionName) noexcept
{
    if (newVal == member.get())
        return S_OK;
    member.reset();
    if (!newVal)
        return S_OK;
    member.reset(::SysAllocString(newVal));
    if (!member) {
        TF_WRITE_LOG(functionName, kLogUnexpectedError);
        return E_FAIL;
    }
    return S_OK;
}

} // namespace

CLCGetXmlResultQR::CLCGetXmlResultQR() noexcept
    : m_bstrResult(::SysAllocString(L"")), m_bstrDetailErrorInfo(::SysAllocString(L"")),
      m_bstrSelectFolderPath(::SysAllocString(L"")), m_bstrFileNameStr(::SysAllocString(L"")),
      m_bstrFileDataStr(::SysAllocString(L"")), m_bstrDataNum(::SysAllocString(L""))
{
}

STDMETHODIMP CLCGetXmlResultQR::get_Result(BSTR* pVal)
{
    return CopyOut(m_bstrResult, pVal, "CLCGetXmlResultQR::get_Result");
}
STDMETHODIMP CLCGetXmlResultQR::put_Result(BSTR newVal)
{
    return StoreCopy(m_bstrResult, newVal, "CLCGetXmlResultQR::put_Result");
}
STDMETHODIMP CLCGetXmlResultQR::get_DetailErrorInfo(BSTR* pVal)
{
    return CopyOut(m_bstrDetailErrorInfo, pVal, "CLCGetXmlResultQR::get_DetailErrorInfo");
}
STDMETHODIMP CLCGetXmlResultQR::put_DetailErrorInfo(BSTR newVal)
{
    return StoreCopy(m_bstrDetailErrorInfo, newVal, "CLCGetXmlResultQR::put_DetailErrorInfo");
}
STDMETHODIMP CLCGetXmlResultQR::get_SelectFolderPath(BSTR* pVal)
{
    return CopyOut(m_bstrSelectFolderPath, pVal, "CLCGetXmlResultQR::get_SelectFolderPath");
}
STDMETHODIMP CLCGetXmlResultQR::put_SelectFolderPath(BSTR newVal)
{
    return StoreCopy(m_bstrSelectFolderPath, newVal, "CLCGetXmlResultQR::put_SelectFolderPath");
}
STDMETHODIMP CLCGetXmlResultQR::get_FileNameStr(BSTR* pVal)
{
    return CopyOut(m_bstrFileNameStr, pVal, "CLCGetXmlResultQR::get_FileNameStr");
}
STDMETHODIMP CLCGetXmlResultQR::put_FileNameStr(BSTR newVal)
{
    return StoreCopy(m_bstrFileNameStr, newVal, "CLCGetXmlResultQR::put_FileNameStr");
}
STDMETHODIMP CLCGetXmlResultQR::get_FileDataStr(BSTR* pVal)
{
    return CopyOut(m_bstrFileDataStr, pVal, "CLCGetXmlResultQR::get_FileDataStr");
}
STDMETHODIMP CLCGetXmlResultQR::put_FileDataStr(BSTR newVal)
{
    return StoreCopy(m_bstrFileDataStr, newVal, "CLCGetXmlResultQR::put_FileDataStr");
}
STDMETHODIMP CLCGetXmlResultQR::get_DataNum(BSTR* pVal)
{
    return CopyOut(m_bstrDataNum, pVal, "CLCGetXmlResultQR::get_DataNum");
}
STDMETHODIMP CLCGetXmlResultQR::put_DataNum(BSTR newVal)
{
    return StoreCopy(m_bstrDataNum, newVal, "CLCGetXmlResultQR::put_DataNum");
}

} // namespace tallyfold
