#include "CLCGetXmlQR.h"

#include "CLCQRCsvWrite.h"
#include "CLCQRGetFolderPath.h"
#include "CLCQRGetXmlData.h"
#include "DiagnosticLog.h"
#include "QRErrorTable.h"
#include "Report.h"

#include <cwchar>
#include <new>
#include <string>

namespace tallyfold {

namespace {

// The properties in the order the frame clears them; ClearXmlData leaves the last one.
const ResultPut kClearOrder[] = {
    &CLIGetXmlResultQR::put_Result,       &CLIGetXmlResultQR::put_DetailErrorInfo,
    &CLIGetXmlResultQR::put_SelectFolderPath, &CLIGetXmlResultQR::put_FileNameStr,
    &CLIGetXmlResultQR::put_FileDataStr,  &CLIGetXmlResultQR::put_DataNum,
};

// The page's text in the system's ANSI code page, up to its first NUL, without a terminator.
std::string ToAnsiBytes(BSTR text)
{
    const int length = static_cast<int>(std::wcslen(text));
    if (length == 0)
        return std::string();
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        throw std::bad_alloc();
    std::string bytes(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, text, length, &bytes[0], size, nullptr, nullptr) != size)
        throw std::bad_alloc();
    return bytes;
}

struct NullTextError {};

} // namespace

HRESULT CLCGetXmlQR::FinalConstruct() noexcept
{
    m_pResult.reset();
    return S_OK;
}

void CLCGetXmlQR::FinalRelease() noexcept
{
    m_pResult.reset();
}

HRESULT CLCGetXmlQR::CreateResultObject() noexcept
{
    m_pResult.reset();
    com_ptr<IUnknown> unknown;
    HRESULT hr = ::CoCreateInstance(CLSID_CLCGetXmlResultQR, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.put_void());
    if (FAILED(hr))
        return hr;
    hr = ::OleRun(unknown.get());
    if (FAILED(hr))
        return hr;
    return unknown.query(IID_CLIGetXmlResultQR, m_pResult);
}

void CLCGetXmlQR::ClearProperties(int count)
{
    for (int i = 0; i < count; ++i)
        PutProperty(m_pResult.get(), kClearOrder[i], L"");
}

template <typename Steps>
HRESULT CLCGetXmlQR::RunMethod(const char* functionName, IDispatch** pResultInfo, Steps steps) noexcept
{
    if (!pResultInfo) {
        TF_WRITE_LOG(functionName, kLogInvalidPointer);
        return E_POINTER;
    }
    if (!m_pResult && FAILED(CreateResultObject())) {
        TF_WRITE_LOG(functionName, kLogCreateResultFailed);
        return E_FAIL;
    }
    // A worker or the report it calls may drop the last other reference; hold one for the call.
    com_ptr<CLIGetXmlResultQR> result(m_pResult);
    try {
        RunSteps(functionName, result.get(), steps);
    } catch (...) {
        TF_REPORT_UNEXPECTED(result.get(), functionName);
    }
    *pResultInfo = result.get();
    return S_OK;
}

STDMETHODIMP CLCGetXmlQR::GetFolderPath(IDispatch** pResultInfo)
{
    return RunMethod("CLCGetXmlQR::GetFolderPath", pResultInfo, [&](CLIGetXmlResultQR* result) {
        ClearProperties(6);
        CLCQRGetFolderPath worker(result);
        worker.GetFolderPath();
    });
}

STDMETHODIMP CLCGetXmlQR::ReadXmlData(BSTR bstrFolderPath, LONG lMaxFileNum, IDispatch** pResultInfo)
{
    static const char kFunction[] = "CLCGetXmlQR::ReadXmlData";
    return RunMethod(kFunction, pResultInfo, [&](CLIGetXmlResultQR* result) {
        m_mapXmlData.clear(); // every earlier entry is gone, even when the arguments are refused
        ClearProperties(6);
        CLCQRReadXmlData worker(result);
        if (!bstrFolderPath) {
            TF_REPORT_FAILURE(result, kFunction, "パスがNULLでした。", QR10003E);
            return;
        }
        const std::wstring folder = TrimWhitespace(bstrFolderPath);
        if (folder.empty()) {
            TF_REPORT_FAILURE(result, kFunction, "フォルダパスが空文字でした。", QR10003E);
            return;
        }
        if (lMaxFileNum < 1) {
            TF_REPORT_FAILURE(result, kFunction, "上限数が0、または1より小さい。", QR10003E);
            return;
        }
        worker.m_lMaxFileNum = lMaxFileNum;
        worker.ReadXmlData(folder.c_str(), m_mapXmlData);
    });
}

STDMETHODIMP CLCGetXmlQR::GetXmlData(LONG lIndex, IDispatch** pResultInfo)
{
    return RunMethod("CLCGetXmlQR::GetXmlData", pResultInfo, [&](CLIGetXmlResultQR* result) {
        ClearProperties(6);
        if (lIndex < 1 || static_cast<size_t>(lIndex) > m_mapXmlData.size()) {
            ReportWord(result, kResultFalse);
            return;
        }
        CLCQRGetXmlData worker(result);
        worker.GetXmlData(lIndex, m_mapXmlData);
    });
}

STDMETHODIMP CLCGetXmlQR::ClearXmlData(IDispatch** pResultInfo)
{
    return RunMethod("CLCGetXmlQR::ClearXmlData", pResultInfo, [&](CLIGetXmlResultQR* result) {
        ClearProperties(5); // DataNum keeps what the previous call left in it
        m_mapXmlData.clear();
        ReportWord(result, kResultOk);
    });
}

STDMETHODIMP CLCGetXmlQR::CsvWrite(BSTR bstrCsvPathName, BSTR bstrWriteData, IDispatch** pResultInfo)
{
    static const char kFunction[] = "CLCGetXmlQR::CsvWrite";
    return RunMethod(kFunction, pResultInfo, [&](CLIGetXmlResultQR* result) {
        ClearProperties(6);
        CLCQRCsvWrite worker(result);
        if (!bstrCsvPathName) {
            TF_REPORT_FAILURE(result, kFunction, "出力ファイルパスがNULLでした。", QR10006E);
            return;
        }
        const std::wstring path = TrimWhitespace(bstrCsvPathName);
        if (!worker.ParameterCheck(path))
            return;
        // The text is looked at only once the path is accepted; no text at all is a failure
        // of its own, and no file is created for it.
        if (!bstrWriteData)
            throw NullTextError();
        const std::string bytes = ToAnsiBytes(bstrWriteData);
        worker.WriteFileData(path.c_str(), bytes.data(), static_cast<DWORD>(bytes.size()));
    });
}

} // namespace tallyfold

// The origin lock's part of the control object, in locked builds only. It stands after the
// methods so that their log records name the same lines in a build without the lock.
#ifdef TALLYFOLD_ALLOWED_HOSTS
namespace tallyfold {

HRESULT CLCGetXmlQR::InternalQueryInterface(REFIID riid, void** ppv) noexcept
{
    // The table's rows answer first, so identity and every other answer stay as unlocked.
    const HRESULT hr = ScriptableObject::InternalQueryInterface(riid, ppv);
    if (hr != E_NOINTERFACE || !::IsEqualIID(riid, IID_IObjectWithSite))
        return hr;
    IObjectWithSite* withSite = this;
    withSite->AddRef();
    *ppv = withSite;
    return S_OK;
}

STDMETHODIMP CLCGetXmlQR::SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions)
{
    if (OriginRefused())
        return E_FAIL;
    return ScriptableObject::SetInterfaceSafetyOptions(riid, dwOptionSetMask, dwEnabledOptions);
}

void CLCGetXmlQR::RefuseCall(const char* functionName, CLIGetXmlResultQR* result)
{
    ClearProperties(6);
    TF_REPORT_FAILURE(result, functionName, kLogRefusedOrigin, QR10011E);
}

} // namespace tallyfold
#endif
