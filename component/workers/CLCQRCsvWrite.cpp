#include "CLCQRCsvWrite.h"

#include "QRErrorTable.h"
#include "Report.h"

#include <shlwapi.h>

#include <cstddef>
#include <cwchar>

namespace tallyfold {

namespace {

const char kParameterCheck[] = "CLCQRCsvWrite::ParameterCheck";
const char kWriteFileData[] = "CLCQRCsvWrite::WriteFileData";

// Buffer sizes in wide characters, terminator included.
constexpr size_t kDriveSize = 3;          // "C:"
constexpr size_t kDirectorySize = 256;    // directory with its trailing separator
constexpr size_t kFolderSize = MAX_PATH;  // drive followed by directory

// An open that failed for a reason other than refused access; the catch-all reports it.
struct ComError {
    HRESULT hr;
};

// The drive and the directory of path; the file name is not wanted. A directory that does
// not fit its buffer leaves both empty, and no folder test accepts an empty folder.
void SplitFolder(const wchar_t* path, wchar_t (&drive)[kDriveSize], wchar_t (&directory)[kDirectorySize])
{
    drive[0] = L'\0';
    directory[0] = L'\0';
    const bool hasDrive = path[0] != L'\0' && path[1] == L':';
    const wchar_t* rest = hasDrive ? path + 2 : path;
    const wchar_t* lastSeparator = nullptr;
    for (const wchar_t* p = rest; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/')
            lastSeparator = p;
    }
    const size_t directoryLength = lastSeparator ? static_cast<size_t>(lastSeparator - rest) + 1 : 0;
    if (directoryLength >= kDirectorySize)
        return;
    if (hasDrive) {
        drive[0] = path[0];
        drive[1] = L':';
        drive[2] = L'\0';
    }
    std::wmemcpy(directory, rest, directoryLength);
    directory[directoryLength] = L'\0';
}

} // namespace

CLCQRCsvWrite::CLCQRCsvWrite(CLIGetXmlResultQR* pResult, const FileCalls& calls) : m_pResult(pResult), m_calls(calls) {}

bool CLCQRCsvWrite::ParameterCheck(const std::wstring& path)
{
    try {
        if (path.empty()) {
            TF_REPORT_FAILURE(m_pResult.get(), kParameterCheck, "出力ファイルパスが空文字でした。", QR10006E);
            return false;
        }
        // Only the final component's extension counts: C:\data.csv\out has none.
        if (_wcsicmp(::PathFindExtensionW(path.c_str()), L".csv") != 0) {
            TF_REPORT_FAILURE(m_pResult.get(), kParameterCheck, "拡張子が「.csv」ではありません。", QR10007E);
            return false;
        }
        return true;
    } catch (...) {
        TF_REPORT_UNEXPECTED(m_pResult.get(), kParameterCheck);
        return false;
    }
}

void CLCQRCsvWrite::WriteFileData(const wchar_t* path, const char* data, DWORD byteCount)
{
    try {
        wchar_t drive[kDriveSize];
        wchar_t directory[kDirectorySize];
        SplitFolder(path, drive, directory);
        wchar_t folder[kFolderSize];
        std::swprintf(folder, kFolderSize, L"%ls%ls", drive, directory);
        // A bare file name has no folder to test and is refused like a missing one.
        if (!::PathFileExistsW(folder)) {
            TF_REPORT_FAILURE(m_pResult.get(), kWriteFileData, "フォルダが存在しません。", QR10008E);
            return;
        }

        // No sharing while open: a file that someone else has open is not written under them.
        unique_file file(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            if (::GetLastError() == ERROR_ACCESS_DENIED) {
                TF_REPORT_FAILURE(m_pResult.get(), kWriteFileData, "ファイルへのアクセス権がありません。", QR10009E);
                return;
            }
            throw ComError{E_FAIL};
        }
        // A name such as NUL.csv or COM1.csv opens a device, not a file: writing the page's
        // text there would report a CSV that does not exist.
        if (::GetFileType(file.get()) != FILE_TYPE_DISK)
            throw ComError{E_FAIL};

        DWORD written = 0;
        const BOOL wrote = ::WriteFile(file.get(), data, byteCount, &written, nullptr);
        // The platform may take the bytes into its cache and fail only when they go to the
        // disk (a share with write-behind caching, a volume that fills meanwhile): the CSV is
        // written only once the flush and the close have succeeded too.
        const BOOL flushed = wrote && m_calls.flushFileBuffers(file.get());
        const BOOL closed = m_calls.closeHandle(file.release());
        // A short write is a failed one: the page must not be told its CSV was written
        // when only part of it reached the file.
        if (!wrote || written != byteCount || !flushed || !closed) {
            // The file stays as created or truncated; nothing is removed.
            TF_REPORT_FAILURE(m_pResult.get(), kWriteFileData, "ファイルへの書き込みが失敗しました。", QR10010E);
            return;
        }
        ReportWord(m_pResult.get(), kResultOk);
    } catch (...) {
        TF_REPORT_UNEXPECTED(m_pResult.get(), kWriteFileData);
    }
}

} // namespace tallyfold
