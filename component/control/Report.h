// How every unit reports an outcome into the result object: the one place that writes the
// log record, the result word, the code and the hand-off reference, in that order.
#pragma once

#include "Tallyfold_h.h"

#include <string>

namespace tallyfold {

using ResultPut = HRESULT (STDMETHODCALLTYPE CLIGetXmlResultQR::*)(BSTR);

// Puts text into one property through the interface, as a script would. Throws
// std::bad_alloc when the temporary string cannot be made or the put cannot keep its copy,
// so that the caller's catch-all reports the call as failed. Text is read up to its first NUL.
void PutProperty(CLIGetXmlResultQR* result, ResultPut put, const wchar_t* text);
inline void PutProperty(CLIGetXmlResultQR* result, ResultPut put, const std::wstring& text)
{
    PutProperty(result, put, text.c_str());
}

// The one added reference that the method hands to its caller.
void HandOff(CLIGetXmlResultQR* result) noexcept;

// A successful or "nothing to hand out" ending: the result word, then the hand-off reference.
void ReportWord(CLIGetXmlResultQR* result, const wchar_t* word);

// A failure: log record, "E_FAIL", the code, the file name when given, the hand-off reference.
void ReportFailure(CLIGetXmlResultQR* result, const char* sourceFile, int line, const char* functionName,
                   const char* message, const wchar_t* code, const wchar_t* fileName);

// The catch-all of every method and worker operation: "予期せぬ例外が発生しました。",
// "E_FAIL", "QR10003E", the hand-off reference. Never throws.
void ReportUnexpected(CLIGetXmlResultQR* result, const char* sourceFile, int line, const char* functionName) noexcept;

} // namespace tallyfold

#define TF_REPORT_FAILURE(result, functionName, message, code) \
    ::tallyfold::ReportFailure((result), __FILE__, __LINE__, (functionName), (message), (code), nullptr)
#define TF_REPORT_FILE_FAILURE(result, functionName, message, code, fileName) \
    ::tallyfold::ReportFailure((result), __FILE__, __LINE__, (functionName), (message), (code), (fileName))
#define TF_REPORT_UNEXPECTED(result, functionName) \
    ::tallyfold::ReportUnexpected((result), __FILE__, __LINE__, (functionName))
