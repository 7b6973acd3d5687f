// What every in-process test program of the project shares, whatever it tests: HRESULTs that
// print as hex, the environment the runner hands over, temporary folders that clean up after
// themselves, and the way a case that cannot run under the emulator says so.
#pragma once

#include "Owners.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace tftest {

// An HRESULT as hex, so that a failing comparison names the code.
inline std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}
#define EXPECT_HR(expected, actual) EXPECT_EQ(::tftest::Hex(expected), ::tftest::Hex(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(::tftest::Hex(expected), ::tftest::Hex(actual))

// A variable of the environment, or the empty text when it is not set.
inline std::wstring EnvW(const wchar_t* name)
{
    std::wstring value(32768, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

// Whether a variable is set at all, even to the empty text.
inline bool EnvDefined(const wchar_t* name)
{
    wchar_t probe[1];
    ::SetLastError(ERROR_SUCCESS);
    return ::GetEnvironmentVariableW(name, probe, 1) != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

// Where 32-bit Wine runs through qemu-user (with-wine.sh then sets TALLYFOLD_EMULATED), a few
// cases cannot give a true answer. Such a case names itself and the reason on a "left out: "
// line, which the test runner lists at the end, and is not run.
inline bool LeftOutUnderEmulator(const std::string& testCase, const char* why)
{
    if (EnvW(L"TALLYFOLD_EMULATED").empty())
        return false;
    std::printf("left out: %s: %s\n", testCase.c_str(), why);
    std::fflush(stdout);
    return true;
}

// Removes a folder with everything below it, read-only entries included.
inline void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW entry;
    tallyfold::unique_find search(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (search) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                ::DeleteFileW(child.c_str());
        } while (::FindNextFileW(search.get(), &entry));
    }
    ::RemoveDirectoryW(path.c_str());
}

// A folder of its own under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder(const std::wstring& prefix, const wchar_t* name)
    {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + prefix + name;
        RemoveTree(m_path);
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempFolder() { RemoveTree(m_path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring Of(const std::wstring& name) const { return m_path + L"\\" + name; }

    // Creates or replaces a file holding exactly these bytes.
    bool Write(const std::wstring& name, const std::string& bytes) const
    {
        tallyfold::unique_file file(::CreateFileW(Of(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        return file && (bytes.empty() || (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                                      &written, nullptr) &&
                                          written == bytes.size()));
    }

private:
    std::wstring m_path;
};


} // namespace tftest
