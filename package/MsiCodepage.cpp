// tfmsicodepage MSI CODEPAGE: gives an installer database the code page its strings are in.
//
// wixl writes the database's strings in the code page of its WINDOWS_LANGUAGE setting but
// leaves the database's own code page neutral, which an installer reads as the machine's
// ANSI code page. The installer's own import of a _ForceCodepage table sets it; the strings
// are read with the running Wine's ANSI code page (932 under with-wine.sh) and written back
// in the new one.
// Exit code 0 on success, 1 on failure, 2 on bad usage.
#include "MsiOwners.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool WriteText(const std::wstring& path, const std::string& text)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    ::CloseHandle(file);
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 || std::wcstoul(argv[2], nullptr, 10) == 0) {
        std::fwprintf(stderr, L"usage: tfmsicodepage MSI CODEPAGE\n");
        return 2;
    }
    wchar_t folder[MAX_PATH];
    const DWORD length = ::GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH) {
        std::fwprintf(stderr, L"tfmsicodepage: no temporary folder\n");
        return 1;
    }
    const wchar_t table[] = L"tfmsicodepage-_ForceCodepage.idt";
    const std::wstring tablePath = std::wstring(folder) + table;
    // No column names, then the code page and the table's name where Wine's import looks for
    // them (the second line; its export, like the installer's documentation, puts them on the
    // third).
    char text[64];
    std::snprintf(text, sizeof text, "\r\n%lu\t_ForceCodepage\r\n\r\n", std::wcstoul(argv[2], nullptr, 10));
    if (!WriteText(tablePath, text)) {
        std::fwprintf(stderr, L"tfmsicodepage: cannot write %ls\n", tablePath.c_str());
        return 1;
    }

    tallyfold::unique_msi_handle database;
    UINT error = ::MsiOpenDatabaseW(argv[1], MSIDBOPEN_TRANSACT, database.put());
    if (error == ERROR_SUCCESS)
        error = ::MsiDatabaseImportW(database.get(), folder, table);
    if (error == ERROR_SUCCESS)
        error = ::MsiDatabaseCommit(database.get());
    ::DeleteFileW(tablePath.c_str());
    if (error != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"tfmsicodepage: %ls: error %u\n", argv[1], error);
        return 1;
    }
    return 0;
}
