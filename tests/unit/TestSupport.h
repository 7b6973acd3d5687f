// What the in-process tests share: the DLL under test loaded by its path, its exports,
// COM on the test thread, and string helpers.
#pragma once

#include "Owners.h"
#include "Tallyfold_h.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tftest {

using tallyfold::com_ptr;
using tallyfold::unique_bstr;

// An HRESULT as hex, so that a failing comparison names the code.
inline std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}
#define EXPECT_HR(expected, actual) EXPECT_EQ(::tftest::Hex(expected), ::tftest::Hex(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(::tftest::Hex(expected), ::tftest::Hex(actual))

inline std::wstring EnvW(const wchar_t* name)
{
    wchar_t value[4096];
    const DWORD length = ::GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
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

// The DLL under test, loaded from TALLYFOLD_DLL, and its four exports by their plain names.
struct TallyfoldDll {
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using NoArgFn = HRESULT(STDAPICALLTYPE*)();

    tallyfold::unique_module module;
    GetClassObjectFn DllGetClassObject = nullptr;
    NoArgFn DllCanUnloadNow = nullptr;
    NoArgFn DllRegisterServer = nullptr;
    NoArgFn DllUnregisterServer = nullptr;

    explicit TallyfoldDll(const std::wstring& path = EnvW(L"TALLYFOLD_DLL"))
        : module(::LoadLibraryW(path.c_str()))
    {
        if (!module)
            return;
        DllGetClassObject = Export<GetClassObjectFn>("DllGetClassObject");
        DllCanUnloadNow = Export<NoArgFn>("DllCanUnloadNow");
        DllRegisterServer = Export<NoArgFn>("DllRegisterServer");
        DllUnregisterServer = Export<NoArgFn>("DllUnregisterServer");
    }
    template <typename Fn>
    Fn Export(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module.get(), name)));
    }

    bool Loaded() const { return module && DllGetClassObject && DllCanUnloadNow && DllRegisterServer && DllUnregisterServer; }

    template <typename I>
    HRESULT Create(REFCLSID clsid, REFIID iid, com_ptr<I>& out)
    {
        com_ptr<IClassFactory> factory;
        HRESULT hr = DllGetClassObject(clsid, IID_IClassFactory, factory.put_void());
        if (FAILED(hr))
            return hr;
        return factory->CreateInstance(nullptr, iid, out.put_void());
    }
};

// COM entered as a single-threaded apartment for the test's duration.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_HR(S_OK, ::CoInitialize(nullptr)); }
    void TearDown() override { ::CoUninitialize(); }
};

inline unique_bstr Bstr(const wchar_t* text)
{
    return unique_bstr(::SysAllocString(text));
}

inline unique_bstr BstrLen(const wchar_t* text, UINT length)
{
    return unique_bstr(::SysAllocStringLen(text, length));
}

inline std::wstring Str(BSTR b)
{
    return b ? std::wstring(b, ::SysStringLen(b)) : std::wstring(L"<null>");
}

// The result object's six properties with their accessors, in the order of their DISPIDs.
using ResultGet = HRESULT (STDMETHODCALLTYPE CLIGetXmlResultQR::*)(BSTR*);
using ResultPut = HRESULT (STDMETHODCALLTYPE CLIGetXmlResultQR::*)(BSTR);
struct ResultProperty {
    const wchar_t* name;
    ResultGet get;
    ResultPut put;
};
inline const ResultProperty kResultProperties[] = {
    {L"Result", &CLIGetXmlResultQR::get_Result, &CLIGetXmlResultQR::put_Result},
    {L"DetailErrorInfo", &CLIGetXmlResultQR::get_DetailErrorInfo, &CLIGetXmlResultQR::put_DetailErrorInfo},
    {L"SelectFolderPath", &CLIGetXmlResultQR::get_SelectFolderPath, &CLIGetXmlResultQR::put_SelectFolderPath},
    {L"FileNameStr", &CLIGetXmlResultQR::get_FileNameStr, &CLIGetXmlResultQR::put_FileNameStr},
    {L"FileDataStr", &CLIGetXmlResultQR::get_FileDataStr, &CLIGetXmlResultQR::put_FileDataStr},
    {L"DataNum", &CLIGetXmlResultQR::get_DataNum, &CLIGetXmlResultQR::put_DataNum},
};

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
