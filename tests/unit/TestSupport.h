// What the in-process tests of the DLL share, beyond TestBasics.h: the DLL under test loaded by
// its path, its exports, COM on the test thread, strings, and the result object's properties.
#pragma once

#include "Owners.h"
#include "Tallyfold_h.h"
#include "TestBasics.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace tftest {

using tallyfold::com_ptr;
using tallyfold::unique_bstr;

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

// A property as the page reads it through its accessor: its text, "<null>" for a null string,
// or the failing HRESULT in angle brackets.
inline std::wstring ReadProperty(CLIGetXmlResultQR* result, ResultGet get)
{
    unique_bstr value;
    const HRESULT hr = (result->*get)(value.put());
    if (hr != S_OK) {
        const std::string code = Hex(hr);
        return L"<" + std::wstring(code.begin(), code.end()) + L">";
    }
    return Str(value.get());
}

// The six properties, in the order of kResultProperties.
inline std::vector<std::wstring> ReadProperties(CLIGetXmlResultQR* result)
{
    std::vector<std::wstring> values;
    for (const ResultProperty& property : kResultProperties)
        values.push_back(ReadProperty(result, property.get));
    return values;
}

} // namespace tftest
