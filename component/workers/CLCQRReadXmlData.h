// Reads a folder's XML data files into the control object's store.
#pragma once

#include "FileCalls.h"
#include "Owners.h"
#include "Tallyfold_h.h"

#include <cstdint>
#include <map>
#include <string>

namespace tallyfold {

// One stored file: its name as the folder lists it and its text decoded from UTF-8, ending at
// its first U+0000. The text stays in the task memory it was decoded into.
struct XmlDataEntry {
    std::wstring fileName;
    unique_cotaskmem_ptr<wchar_t> fileData;
};

// The store, keyed by 1-based position in the order the folder listed the files.
using XmlDataMap = std::map<std::int32_t, XmlDataEntry>;

// Strips leading and trailing blanks (space, ideographic space, tab, CR, LF, FF, VT); the
// text is read up to its first NUL. Throws std::bad_alloc when no memory is left.
std::wstring TrimWhitespace(const wchar_t* text);

class CLCQRReadXmlData {
public:
    explicit CLCQRReadXmlData(CLIGetXmlResultQR* pResult, const FileCalls& calls = FileCalls());

    // Fills the (empty) store from the folder and reports the outcome.
    void ReadXmlData(const wchar_t* pszFolderPath, XmlDataMap& store);

    // Size, openability and running total of one candidate: the file, open for reading, when
    // it passes; no file when the outcome is reported.
    unique_file CheckEachFile(const WIN32_FIND_DATAW& findData);
    // Reads, decodes and stores one candidate from the file that its check opened; false when
    // the outcome is reported.
    bool ReadEachFile(unique_file file, const WIN32_FIND_DATAW& findData, XmlDataMap& store);

    std::int32_t m_lMaxFileNum = 0;

private:
    com_ptr<CLIGetXmlResultQR> m_pResult;
    const FileCalls m_calls;
    const wchar_t* m_pszFolderPath = L"";
    std::int32_t m_lFileNum = 0;
    std::int64_t m_llTotalSize = 0;
    // The byte buffer serves every file of the call, growing when a file needs more: memory
    // freed and obtained again for each file has to be faulted in again each time.
    unique_cotaskmem_ptr<unsigned char> m_pBytes;
    size_t m_cbBytes = 0;
};

} // namespace tallyfold
