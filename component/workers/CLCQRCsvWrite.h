// Writes the page's CSV text to the file the page names.
#pragma once

#include "FileCalls.h"
#include "Owners.h"
#include "Tallyfold_h.h"

#include <string>

namespace tallyfold {

class CLCQRCsvWrite {
public:
    explicit CLCQRCsvWrite(CLIGetXmlResultQR* pResult, const FileCalls& calls = FileCalls());

    // True when the (trimmed) path may be written; on false the outcome is reported.
    bool ParameterCheck(const std::wstring& path);
    // Writes the bytes and reports the outcome on every path.
    void WriteFileData(const wchar_t* path, const char* data, DWORD byteCount);

private:
    com_ptr<CLIGetXmlResultQR> m_pResult;
    const FileCalls m_calls;
};

} // namespace tallyfold
