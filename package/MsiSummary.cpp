// tfmsisummary MSI PACKAGE_CODE SECONDS: gives an installer package the package code and the
// dates of its summary information.
//
// wixl writes a random package code and the clock's time as the package's creation and
// last-saved dates, so that no two builds of the same sources are the same file. The package
// code given here (a GUID that the build derives from what the package holds) and the time
// given here (seconds since 1970-01-01 UTC, the build's SOURCE_DATE_EPOCH) replace them. The
// package's storage then goes whole into a new file: a rewritten stream leaves its old
// sectors behind, free but with wixl's values still in them.
// Exit code 0 on success, 1 on failure, 2 on bad usage.
#include "MsiOwners.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <objbase.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Summary information property ids of installer packages.
constexpr UINT kPackageCode = 9;   // PID_REVNUMBER
constexpr UINT kCreated = 12;      // PID_CREATE_DTM
constexpr UINT kLastSaved = 13;    // PID_LASTSAVE_DTM

// FILETIME counts 100 ns steps from 1601-01-01 UTC.
FILETIME FromUnixSeconds(unsigned long long seconds)
{
    const unsigned long long ticks = (seconds + 11644473600ULL) * 10000000ULL;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

// Copies the compound file at path into a new one in its place, without the free sectors.
HRESULT Compact(const std::wstring& path)
{
    const std::wstring copy = path + L".compact";
    HRESULT hr;
    {
        tallyfold::com_ptr<IStorage> source;
        tallyfold::com_ptr<IStorage> target;
        STATSTG stat = {};
        hr = ::StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, source.put());
        if (SUCCEEDED(hr))
            hr = ::StgCreateDocfile(copy.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, target.put());
        if (SUCCEEDED(hr))
            hr = source->Stat(&stat, STATFLAG_NONAME);
        // The class of the root storage marks the file as an installer package.
        if (SUCCEEDED(hr))
            hr = target->SetClass(stat.clsid);
        if (SUCCEEDED(hr))
            hr = source->CopyTo(0, nullptr, nullptr, target.get());
        if (SUCCEEDED(hr))
            hr = target->Commit(STGC_DEFAULT);
    }
    if (SUCCEEDED(hr) && !::MoveFileExW(copy.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        hr = HRESULT_FROM_WIN32(::GetLastError());
    if (FAILED(hr))
        ::DeleteFileW(copy.c_str());
    return hr;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long seconds = argc == 4 ? std::wcstoull(argv[3], &end, 10) : 0;
    if (argc != 4 || !*argv[3] || *end || errno || std::wcslen(argv[2]) != 38 || argv[2][0] != L'{') {
        std::fwprintf(stderr, L"usage: tfmsisummary MSI {PACKAGE-CODE} SECONDS\n");
        return 2;
    }
    FILETIME time = FromUnixSeconds(seconds);

    // Through a database opened for changes: one opened by its path alone is read-only to
    // Wine's installer, which then persists nothing without saying so.
    tallyfold::unique_msi_handle database;
    tallyfold::unique_msi_handle summary;
    UINT error = ::MsiOpenDatabaseW(argv[1], MSIDBOPEN_TRANSACT, database.put());
    if (error == ERROR_SUCCESS)
        error = ::MsiGetSummaryInformationW(database.get(), nullptr, 3, summary.put());
    if (error == ERROR_SUCCESS)
        error = ::MsiSummaryInfoSetPropertyW(summary.get(), kPackageCode, VT_LPSTR, 0, nullptr, argv[2]);
    if (error == ERROR_SUCCESS)
        error = ::MsiSummaryInfoSetPropertyW(summary.get(), kCreated, VT_FILETIME, 0, &time, nullptr);
    if (error == ERROR_SUCCESS)
        error = ::MsiSummaryInfoSetPropertyW(summary.get(), kLastSaved, VT_FILETIME, 0, &time, nullptr);
    if (error == ERROR_SUCCESS)
        error = ::MsiSummaryInfoPersist(summary.get());
    if (error == ERROR_SUCCESS)
        error = ::MsiDatabaseCommit(database.get());
    summary.reset();
    database.reset();
    if (error != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"tfmsisummary: %ls: error %u\n", argv[1], error);
        return 1;
    }
    const HRESULT hr = Compact(argv[1]);
    if (FAILED(hr)) {
        std::fwprintf(stderr, L"tfmsisummary: %ls: cannot compact: 0x%08lx\n", argv[1], static_cast<unsigned long>(hr));
        return 1;
    }
    return 0;
}
