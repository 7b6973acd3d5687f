// The control object: the five methods a page calls. Every method hands back the control's
// one result object; failures of the work reach the page only through its properties.
#pragma once

#include "CLCQRReadXmlData.h"
#include "Owners.h"
#include "ScriptableObject.h"
#include "Tallyfold_h.h"

namespace tallyfold {

class CLCGetXmlQR : public ScriptableObject<CLCGetXmlQR, CLIGetXmlQR, &IID_CLIGetXmlQR> {
public:
    CLCGetXmlQR() noexcept = default;

    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;

    STDMETHODIMP GetFolderPath(IDispatch** pResultInfo) override;
    STDMETHODIMP ReadXmlData(BSTR bstrFolderPath, LONG lMaxFileNum, IDispatch** pResultInfo) override;
    STDMETHODIMP GetXmlData(LONG lIndex, IDispatch** pResultInfo) override;
    STDMETHODIMP ClearXmlData(IDispatch** pResultInfo) override;
    STDMETHODIMP CsvWrite(BSTR bstrCsvPathName, BSTR bstrWriteData, IDispatch** pResultInfo) override;

private:
    HRESULT CreateResultObject() noexcept;
    // The frame every method runs: out-pointer test, result object, the method's own steps
    // under the catch-all, and the hand-off of the result object.
    template <typename Steps>
    HRESULT RunMethod(const char* functionName, IDispatch** pResultInfo, Steps steps) noexcept;
    void ClearProperties(int count);

    com_ptr<CLIGetXmlResultQR> m_pResult;
    XmlDataMap m_mapXmlData;
};

} // namespace tallyfold
