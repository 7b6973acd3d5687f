// The control object: the five methods a page calls. Every method hands back the control's
// one result object; failures of the work reach the page only through its properties.
#pragma once

#include "CLCQRReadXmlData.h"
#include "Owners.h"
#include "ScriptableObject.h"
#include "Tallyfold_h.h"

#ifdef TALLYFOLD_ALLOWED_HOSTS
#include "OriginLock.h"
#endif

namespace tallyfold {

class CLCGetXmlQR : public ScriptableObject<CLCGetXmlQR, CLIGetXmlQR, &IID_CLIGetXmlQR>
#ifdef TALLYFOLD_ALLOWED_HOSTS
    , public OriginLock
#endif
{
public:
    CLCGetXmlQR() noexcept = default;

    HRESULT FinalConstruct() noexcept;
    void FinalRelease() noexcept;

    STDMETHODIMP GetFolderPath(IDispatch** pResultInfo) override;
    STDMETHODIMP ReadXmlData(BSTR bstrFolderPath, LONG lMaxFileNum, IDispatch** pResultInfo) override;
    STDMETHODIMP GetXmlData(LONG lIndex, IDispatch** pResultInfo) override;
    STDMETHODIMP ClearXmlData(IDispatch** pResultInfo) override;
    STDMETHODIMP CsvWrite(BSTR bstrCsvPathName, BSTR bstrWriteData, IDispatch** pResultInfo) override;

#ifdef TALLYFOLD_ALLOWED_HOSTS
    // The interface table, then IObjectWithSite: the site tells the object whose page it is on.
    HRESULT InternalQueryInterface(REFIID riid, void** ppv) noexcept;
    // A page outside the allowed origins is told that it may not script the object.
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) override;
#endif

private:
    HRESULT CreateResultObject() noexcept;
    // The frame every method runs: out-pointer test, result object, the method's own steps
    // under the catch-all, and the hand-off of the result object.
    template <typename Steps>
    HRESULT RunMethod(const char* functionName, IDispatch** pResultInfo, Steps steps) noexcept;
    void ClearProperties(int count);
    // The method's own steps, which a locked build runs only for the allowed origins.
    template <typename Steps>
    void RunSteps(const char* functionName, CLIGetXmlResultQR* result, Steps& steps);
#ifdef TALLYFOLD_ALLOWED_HOSTS
    void RefuseCall(const char* functionName, CLIGetXmlResultQR* result);
#endif

    com_ptr<CLIGetXmlResultQR> m_pResult;
    XmlDataMap m_mapXmlData;
};

template <typename Steps>
void CLCGetXmlQR::RunSteps([[maybe_unused]] const char* functionName, CLIGetXmlResultQR* result, Steps& steps)
{
#ifdef TALLYFOLD_ALLOWED_HOSTS
    // On a page outside the allowed origins no method reads, writes or shows anything.
    if (OriginRefused()) {
        RefuseCall(functionName, result);
        return;
    }
#endif
    steps(result);
}

} // namespace tallyfold
