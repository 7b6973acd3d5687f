// The result object: six string properties through which every method of the control
// object hands its outcome to the page.
#pragma once

#include "Owners.h"
#include "ScriptableObject.h"
#include "Tallyfold_h.h"

namespace tallyfold {

class CLCGetXmlResultQR : public ScriptableObject<CLCGetXmlResultQR, CLIGetXmlResultQR, &IID_CLIGetXmlResultQR> {
public:
    CLCGetXmlResultQR() noexcept;

    STDMETHODIMP get_Result(BSTR* pVal) override;
    STDMETHODIMP put_Result(BSTR newVal) override;
    STDMETHODIMP get_DetailErrorInfo(BSTR* pVal) override;
    STDMETHODIMP put_DetailErrorInfo(BSTR newVal) override;
    STDMETHODIMP get_SelectFolderPath(BSTR* pVal) override;
    STDMETHODIMP put_SelectFolderPath(BSTR newVal) override;
    STDMETHODIMP get_FileNameStr(BSTR* pVal) override;
    STDMETHODIMP put_FileNameStr(BSTR newVal) override;
    STDMETHODIMP get_FileDataStr(BSTR* pVal) override;
    STDMETHODIMP put_FileDataStr(BSTR newVal) override;
    STDMETHODIMP get_DataNum(BSTR* pVal) override;
    STDMETHODIMP put_DataNum(BSTR newVal) override;

private:
    unique_bstr m_bstrResult;
    unique_bstr m_bstrDetailErrorInfo;
    unique_bstr m_bstrSelectFolderPath;
    unique_bstr m_bstrFileNameStr;
    unique_bstr m_bstrFileDataStr;
    unique_bstr m_bstrDataNum;
};

} // namespace tallyfold
