#include "Report.h"

#include "DiagnosticLog.h"
#include "Owners.h"
#include "QRErrorTable.h"

#include <new>

namespace tallyfold {

void PutProperty(CLIGetXmlResultQR* result, ResultPut put, const wchar_t* text)
{
    unique_bstr value(::SysAllocString(text));
    if (text && !value)
        throw std::bad_alloc();
    // A put that could not keep its copy would leave the page an empty property beside a
    // word that says the call worked: it is a failure of the call like any other.
    if (FAILED((result->*put)(value.get())))
        throw std::bad_alloc();
}

void HandOff(CLIGetXmlResultQR* result) noexcept
{
    result->AddRef();
}

void ReportWord(CLIGetXmlResultQR* result, const wchar_t* word)
{
    PutProperty(result, &CLIGetXmlResultQR::put_Result, word);
    HandOff(result);
}

void ReportFailure(CLIGetXmlResultQR* result, const char* sourceFile, int line, const char* functionName,
                   const char* message, const wchar_t* code, const wchar_t* fileName)
{
    WriteLog(sourceFile, line, functionName, message);
    PutProperty(result, &CLIGetXmlResultQR::put_Result, kResultFail);
    PutProperty(result, &CLIGetXmlResultQR::put_DetailErrorInfo, code);
    if (fileName)
        PutProperty(result, &CLIGetXmlResultQR::put_FileNameStr, fileName);
    HandOff(result);
}

void ReportUnexpected(CLIGetXmlResultQR* result, const char* sourceFile, int line, const char* functionName) noexcept
{
    try {
        WriteLog(sourceFile, line, functionName, kLogUnexpectedException);
    } catch (...) {
        // A record that cannot be written is lost; the outcome still reaches the page.
    }
    for (auto [put, text] : {std::pair<ResultPut, const wchar_t*>{&CLIGetXmlResultQR::put_Result, kResultFail},
                             std::pair<ResultPut, const wchar_t*>{&CLIGetXmlResultQR::put_DetailErrorInfo, QR10003E}}) {
        try {
            PutProperty(result, put, text);
        } catch (...) {
            // No memory even for the code: the page still gets its reference and the object.
        }
    }
    HandOff(result);
}

} // namespace tallyfold
