#include "CLCQRReadXmlData.h"

#include "QRErrorTable.h"
#include "Report.h"

#include <shlwapi.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>
#include <utility>

namespace tallyfold {

namespace {

// The most bytes one call reads, over all of its files together.
constexpr std::int64_t kMaxTotalSize = 20 * 1024 * 1024;

const wchar_t kBlanks[] = L" \x3000\t\r\n\f\v";

const unsigned char kUtf8Bom[] = {0xEF, 0xBB, 0xBF};

// Only plain files that carry the archive attribute and nothing else are read: a read-only,
// hidden or system file, a file with the "normal" attribute and every directory are left alone.
// The pattern can match a longer extension through a file's short alias (report.xmlx), so the
// long name's own extension is tested again.
bool IsCandidate(const WIN32_FIND_DATAW& findData)
{
    return findData.dwFileAttributes == FILE_ATTRIBUTE_ARCHIVE &&
           ::CompareStringOrdinal(::PathFindExtensionW(findData.cFileName), -1, L".xml", -1, TRUE) == CSTR_EQUAL;
}

std::uint64_t FileSize(const WIN32_FIND_DATAW& findData)
{
    return (static_cast<std::uint64_t>(findData.nFileSizeHigh) << 32) | findData.nFileSizeLow;
}

// Readers may share the file; a writer holding it makes the open fail. A listed name that the
// platform takes for a device (NUL.xml, CON.xml, AUX.xml, COM1.xml, ...) opens the device
// instead of the file: reading it gives nothing or waits for the device without end, so it
// counts as a file that cannot be opened.
HANDLE OpenForReading(const std::wstring& path)
{
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file && ::GetFileType(file.get()) != FILE_TYPE_DISK) {
        file.reset();
        ::SetLastError(ERROR_BAD_FILE_TYPE);
    }
    return file.release();
}

// Makes buffer hold at least bytes of task memory; what it held is not kept.
template <typename T>
bool Reserve(unique_cotaskmem_ptr<T>& buffer, size_t& capacity, size_t bytes)
{
    if (buffer && capacity >= bytes)
        return true;
    buffer.reset();
    capacity = 0;
    buffer.reset(static_cast<T*>(::CoTaskMemAlloc(bytes)));
    if (!buffer)
        return false;
    capacity = bytes;
    return true;
}

} // namespace

std::wstring TrimWhitespace(const wchar_t* text)
{
    if (!text)
        return std::wstring();
    const size_t length = std::wcslen(text);
    if (length >= std::numeric_limits<size_t>::max() / sizeof(wchar_t))
        throw std::bad_alloc();
    const size_t bytes = (length + 1) * sizeof(wchar_t);
    unique_cotaskmem_ptr<wchar_t> buffer(static_cast<wchar_t*>(::CoTaskMemAlloc(bytes)));
    if (!buffer)
        throw std::bad_alloc();
    std::memset(buffer.get(), 0, bytes);
    std::memcpy(buffer.get(), text, length * sizeof(wchar_t));
    ::StrTrimW(buffer.get(), kBlanks);
    return std::wstring(buffer.get());
}

CLCQRReadXmlData::CLCQRReadXmlData(CLIGetXmlResultQR* pResult, const FileCalls& calls)
    : m_pResult(pResult), m_calls(calls)
{
}

void CLCQRReadXmlData::ReadXmlData(const wchar_t* pszFolderPath, XmlDataMap& store)
{
    static const char kFunction[] = "CLCQRReadXmlData::ReadXmlData";
    try {
        m_pszFolderPath = pszFolderPath;
        // A trailing backslash is kept: the doubled separator is accepted by the platform.
        const std::wstring pattern = std::wstring(m_pszFolderPath) + L"\\*.xml";
        WIN32_FIND_DATAW findData;
        unique_find search(::FindFirstFileW(pattern.c_str(), &findData));
        if (!search) {
            TF_REPORT_FAILURE(m_pResult.get(), kFunction, "API失敗、もしくは対象ファイルが0件。", QR10004E);
            return;
        }
        do {
            if (!IsCandidate(findData))
                continue;
            // The count limit comes before the file's own tests: the first candidate over the
            // limit stops the read whatever it holds, with every earlier one already stored.
            ++m_lFileNum;
            if (m_lFileNum > m_lMaxFileNum) {
                TF_REPORT_FAILURE(m_pResult.get(), kFunction, "対象ファイル数 > 対象ファイル上限数。", QR10002E);
                return;
            }
            // Each of these has reported the outcome when it answers no file or false; what
            // was stored before stays in the store. The read takes the file as its check
            // opened it: opening every file a second time costs a round trip to the file system
            // each, and finds nothing that the first open did not. The owners close the file
            // and the enumeration on every way out.
            unique_file file = CheckEachFile(findData);
            if (!file || !ReadEachFile(std::move(file), findData, store))
                return;
        } while (m_calls.findNextFileW(search.get(), &findData));
        // Only "no more files" ends a listing; any other failure (a share that went away in
        // the middle of it) left files unlisted, and a short count must not pass for a whole
        // one. What was stored stays, as after every failure.
        const DWORD listingEnd = ::GetLastError();
        search.reset();
        if (listingEnd != ERROR_NO_MORE_FILES) {
            TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
            return;
        }

        if (m_lFileNum == 0) {
            TF_REPORT_FAILURE(m_pResult.get(), kFunction, "対象ファイルが0件。", QR10004E);
            return;
        }
        PutProperty(m_pResult.get(), &CLIGetXmlResultQR::put_Result, kResultOk);
        PutProperty(m_pResult.get(), &CLIGetXmlResultQR::put_DataNum, std::to_wstring(m_lFileNum));
        HandOff(m_pResult.get());
    } catch (...) {
        TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
    }
}

unique_file CLCQRReadXmlData::CheckEachFile(const WIN32_FIND_DATAW& findData)
{
    static const char kFunction[] = "CLCQRReadXmlData::CheckEachFile";
    const std::uint64_t size = FileSize(findData);
    if (size == 0) {
        TF_REPORT_FILE_FAILURE(m_pResult.get(), kFunction, "対象ファイルの中身が空です。", QR10001E,
                               findData.cFileName);
        return unique_file();
    }

    const std::wstring path = std::wstring(m_pszFolderPath) + L"\\" + findData.cFileName;
    unique_file file(OpenForReading(path));
    const DWORD openError = file ? ERROR_SUCCESS : ::GetLastError();
    if (!file) {
        if (openError == ERROR_ACCESS_DENIED) {
            TF_REPORT_FILE_FAILURE(m_pResult.get(), kFunction, "ファイルへのアクセス権がありません。", QR10001E,
                                   findData.cFileName);
            return unique_file();
        }
        // Held open for writing elsewhere, gone since the listing, ...
        TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
        return unique_file();
    }

    // The file that crosses the limit counts in full, all 64 bits of it; the sum saturates
    // rather than wrap, so no size can bring the total back under the limit.
    const std::uint64_t room = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - m_llTotalSize);
    m_llTotalSize = size > room ? std::numeric_limits<std::int64_t>::max()
                                : m_llTotalSize + static_cast<std::int64_t>(size);
    if (m_llTotalSize > kMaxTotalSize) {
        TF_REPORT_FAILURE(m_pResult.get(), kFunction, "ファイル合計サイズ > 20971520バイト。", QR10005E);
        return unique_file();
    }
    return file;
}

bool CLCQRReadXmlData::ReadEachFile(unique_file file, const WIN32_FIND_DATAW& findData, XmlDataMap& store)
{
    static const char kFunction[] = "CLCQRReadXmlData::ReadEachFile";
    unique_cotaskmem_ptr<wchar_t> text;
    {
        // The size the listing gave, which the total limit keeps within 32 bits; a file that
        // grew since is read only that far, one that shrank gives what it still holds.
        const DWORD size = static_cast<DWORD>(FileSize(findData));
        if (!Reserve(m_pBytes, m_cbBytes, size + 1)) {
            file.reset();
            TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
            return false;
        }
        std::memset(m_pBytes.get(), 0, size + 1);
        DWORD read = 0;
        if (!::ReadFile(file.get(), m_pBytes.get(), size, &read, nullptr)) {
            file.reset();
            TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
            return false;
        }
        file.reset();

        // Only the UTF-8 mark is known; whatever else the file holds is decoded as UTF-8.
        const char* start = reinterpret_cast<const char*>(m_pBytes.get());
        int length = static_cast<int>(read);
        if (read >= sizeof kUtf8Bom && std::memcmp(m_pBytes.get(), kUtf8Bom, sizeof kUtf8Bom) == 0) {
            start += sizeof kUtf8Bom;
            length -= static_cast<int>(sizeof kUtf8Bom);
        }
        // Malformed sequences are not an error: they decode to replacement characters.
        const int count = length > 0 ? ::MultiByteToWideChar(CP_UTF8, 0, start, length, nullptr, 0) : 0;
        const size_t wideBytes = (static_cast<size_t>(count) + 1) * sizeof(wchar_t);
        text.reset(static_cast<wchar_t*>(::CoTaskMemAlloc(wideBytes)));
        if (!text) {
            TF_REPORT_UNEXPECTED(m_pResult.get(), kFunction);
            return false;
        }
        std::memset(text.get(), 0, wideBytes);
        if (count > 0)
            ::MultiByteToWideChar(CP_UTF8, 0, start, length, text.get(), count);
    }

    // The buffer the text was decoded into becomes the entry's own, so a file's text is never
    // held twice; its first U+0000, if any, ends the text. The entry is whole before it goes
    // into the store, so no memory failure can leave half an entry there.
    XmlDataEntry entry;
    entry.fileName = findData.cFileName;
    entry.fileData = std::move(text);
    store[m_lFileNum] = std::move(entry);
    return true;
}

} // namespace tallyfold
