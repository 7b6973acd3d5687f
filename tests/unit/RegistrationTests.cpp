// Self-registration against the real registry of the test prefix: what DllRegisterServer
// writes, what DllUnregisterServer removes and keeps, and an undone failed registration.
// Every test leaves the DLL under test registered again, as the other tests expect.
#include "TestSupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

using namespace tftest;

namespace {

const wchar_t kControlClsid[] = L"{CDCD1A02-C10B-4854-8AF5-836A506A74DE}";
const wchar_t kResultClsid[] = L"{94CBBEAE-44B4-47B2-BD92-D1C60752D8C0}";
const wchar_t kAppId[] = L"{371F7C37-28C2-46B4-8AD6-7C2BFF2798C6}";
const wchar_t kLibid[] = L"{7ED64AC5-8942-43D4-8822-0CB153843AF3}";

bool KeyExists(const std::wstring& path)
{
    tallyfold::unique_hkey key;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The string value, "<absent>" when there is none, "<type N>" when it is not REG_SZ.
std::wstring Value(const std::wstring& path, const wchar_t* name)
{
    DWORD type = 0, size = 0;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS)
        return L"<absent>";
    if (type != REG_SZ)
        return L"<type " + std::to_wstring(type) + L">";
    std::wstring text(size / sizeof(wchar_t), L'\0');
    ::RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, &text[0], &size);
    text.resize(size / sizeof(wchar_t) > 0 ? size / sizeof(wchar_t) - 1 : 0);
    return text;
}

struct Entry {
    std::wstring key;
    const wchar_t* name; // null: the default value
    std::wstring value;
};

std::vector<Entry> ClassEntries(const std::wstring& cls, const std::wstring& clsid, const std::wstring& module)
{
    const std::wstring progId = L"mrv." + cls;
    const std::wstring key = L"CLSID\\" + clsid;
    return {
        {progId + L".1", nullptr, cls + L" Class"},
        {progId + L".1\\CLSID", nullptr, clsid},
        {progId, nullptr, cls + L" Class"},
        {progId + L"\\CLSID", nullptr, clsid},
        {progId + L"\\CurVer", nullptr, progId + L".1"},
        {key, nullptr, cls + L" Class"},
        {key, L"AppID", kAppId},
        {key + L"\\ProgID", nullptr, progId + L".1"},
        {key + L"\\VersionIndependentProgID", nullptr, progId},
        {key + L"\\Programmable", nullptr, L"<absent>"},
        {key + L"\\InprocServer32", nullptr, module},
        {key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {key + L"\\TypeLib", nullptr, kLibid},
    };
}

std::vector<Entry> AllEntries(const std::wstring& module)
{
    std::vector<Entry> all = {
        {std::wstring(L"AppID\\") + kAppId, nullptr, L"Tallyfold"},
        {L"AppID\\Tallyfold.DLL", L"AppID", kAppId},
    };
    for (const Entry& e : ClassEntries(L"CLCGetXmlQR", kControlClsid, module))
        all.push_back(e);
    for (const Entry& e : ClassEntries(L"CLCGetXmlResultQR", kResultClsid, module))
        all.push_back(e);
    return all;
}

void ExpectRegistered(const std::wstring& module)
{
    for (const Entry& e : AllEntries(module)) {
        EXPECT_TRUE(KeyExists(e.key)) << "missing key HKCR\\" << std::string(e.key.begin(), e.key.end());
        EXPECT_EQ(e.value, Value(e.key, e.name)) << "HKCR\\" << std::string(e.key.begin(), e.key.end());
    }
    EXPECT_TRUE(KeyExists(std::wstring(L"TypeLib\\") + kLibid + L"\\1.0"));
}

std::wstring Lower(std::wstring s)
{
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(::towlower(c));
    return s;
}

class RegistrationTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_TRUE(dll.Loaded());
        char path[MAX_PATH];
        ASSERT_NE(0u, ::GetModuleFileNameA(dll.module.get(), path, MAX_PATH));
        // The path registration writes: the module's own 8-bit path read back as UTF-16.
        wchar_t wide[MAX_PATH];
        ::MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH);
        module = wide;
    }
    void TearDown() override
    {
        EXPECT_HR(S_OK, dll.DllRegisterServer()) << "leaving the DLL registered for the other tests";
        ComTest::TearDown();
    }

    TallyfoldDll dll;
    std::wstring module;
};

} // namespace

TEST_F(RegistrationTest, RegisteringWritesTheScriptsAndTheTypeLibrary)
{
    ASSERT_HR(S_OK, dll.DllRegisterServer());
    EXPECT_EQ(Lower(EnvW(L"TALLYFOLD_DLL")), Lower(module));
    ExpectRegistered(module);
}

TEST_F(RegistrationTest, RegisteringAgainRecreatesTheClassKeysFromScratch)
{
    ASSERT_HR(S_OK, dll.DllRegisterServer());
    const std::wstring classKey = std::wstring(L"CLSID\\") + kControlClsid;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, classKey.c_str(), L"Stray", REG_SZ, L"x", 4));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, (classKey + L"\\Programmable").c_str(), L"Stray", REG_SZ, L"x", 4));
    ASSERT_HR(S_OK, dll.DllRegisterServer());
    ExpectRegistered(module);
    EXPECT_EQ(L"<absent>", Value(classKey, L"Stray"));
    EXPECT_EQ(L"<absent>", Value(classKey + L"\\Programmable", L"Stray"));
}

TEST_F(RegistrationTest, UnregisteringRemovesOnlyWhatTheScriptsWrote)
{
    ASSERT_HR(S_OK, dll.DllRegisterServer());
    const std::wstring foreign = std::wstring(L"CLSID\\") + kResultClsid + L"\\Implemented By Another Program";
    tallyfold::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CLASSES_ROOT, foreign.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, key.put(), nullptr));
    key.reset();

    ASSERT_HR(S_OK, dll.DllUnregisterServer());
    for (const wchar_t* gone : {L"mrv.CLCGetXmlQR", L"mrv.CLCGetXmlQR.1", L"mrv.CLCGetXmlResultQR", L"mrv.CLCGetXmlResultQR.1",
                                L"AppID\\Tallyfold.DLL"}) {
        EXPECT_FALSE(KeyExists(gone)) << std::string(gone, gone + wcslen(gone));
    }
    EXPECT_FALSE(KeyExists(std::wstring(L"CLSID\\") + kControlClsid));
    EXPECT_FALSE(KeyExists(std::wstring(L"AppID\\") + kAppId));
    EXPECT_FALSE(KeyExists(std::wstring(L"TypeLib\\") + kLibid + L"\\1.0"));
    EXPECT_TRUE(KeyExists(L"CLSID"));
    EXPECT_TRUE(KeyExists(L"AppID"));

    const std::wstring kept = std::wstring(L"CLSID\\") + kResultClsid;
    EXPECT_TRUE(KeyExists(foreign)) << "another program's subkey stays";
    for (const wchar_t* sub : {L"\\ProgID", L"\\VersionIndependentProgID", L"\\Programmable", L"\\InprocServer32", L"\\TypeLib"})
        EXPECT_FALSE(KeyExists(kept + sub));
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kept.c_str());
}

TEST_F(RegistrationTest, AnApostropheInTheModulePathIsWrittenOnce)
{
    const TempFolder folder(L"", L"tally'fold test");
    const std::wstring copy = folder.Of(L"Tallyfold.dll");
    ASSERT_TRUE(::CopyFileW(EnvW(L"TALLYFOLD_DLL").c_str(), copy.c_str(), FALSE));
    {
        TallyfoldDll other(copy);
        ASSERT_TRUE(other.Loaded());
        ASSERT_HR(S_OK, other.DllRegisterServer());
        const std::wstring inproc = std::wstring(L"CLSID\\") + kControlClsid + L"\\InprocServer32";
        EXPECT_EQ(Lower(copy), Lower(Value(inproc, nullptr)));
    }
}

TEST_F(RegistrationTest, AFailedClassScriptIsUndoneAndTheEarlierOnesStay)
{
    ASSERT_HR(S_OK, dll.DllUnregisterServer());
    // A key under the result class's key that nobody may delete: the class script's
    // ForceRemove of its key fails part-way, after its ProgIDs are written.
    const std::wstring classKey = std::wstring(L"CLSID\\") + kResultClsid;
    const std::wstring locked = classKey + L"\\Locked";
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;KA;;;WD)", SDDL_REVISION_1, &sd, nullptr));
    tallyfold::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CLASSES_ROOT, locked.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                               key.put(), nullptr));
    const LONG secured = ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, sd);
    key.reset();
    ::LocalFree(sd);
    ASSERT_EQ(ERROR_SUCCESS, secured);

    ::SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
    const LCID before = ::GetThreadLocale();
    const HRESULT hr = dll.DllRegisterServer();
    EXPECT_EQ(before, ::GetThreadLocale()) << "the caller's thread locale comes back after a failure";
    EXPECT_TRUE(FAILED(hr)) << Hex(hr);

    EXPECT_TRUE(KeyExists(std::wstring(L"AppID\\") + kAppId)) << "the AppID script, done before, stays";
    EXPECT_TRUE(KeyExists(std::wstring(L"CLSID\\") + kControlClsid)) << "the first class, done before, stays";
    EXPECT_FALSE(KeyExists(L"mrv.CLCGetXmlResultQR.1")) << "the failed script's keys are undone";
    EXPECT_FALSE(KeyExists(L"mrv.CLCGetXmlResultQR"));
    EXPECT_FALSE(KeyExists(classKey + L"\\InprocServer32"));

    // Free the key again (the owner may always rewrite the access list).
    tallyfold::unique_hkey owner;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, locked.c_str(), 0, WRITE_DAC, owner.put()) == ERROR_SUCCESS) {
        ::SetSecurityInfo(owner.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr);
        owner.reset();
    }
    EXPECT_EQ(ERROR_SUCCESS, ::RegDeleteTreeW(HKEY_CLASSES_ROOT, locked.c_str()));
}

TEST_F(RegistrationTest, TheCallersThreadLocaleComesBack)
{
    const LCID english = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
    ::SetThreadLocale(english);
    EXPECT_HR(S_OK, dll.DllUnregisterServer());
    EXPECT_EQ(english, ::GetThreadLocale());
    EXPECT_HR(S_OK, dll.DllRegisterServer());
    EXPECT_EQ(english, ::GetThreadLocale());
}

// Script calls reach the type library through the registry: nothing is cached from a
// failed load, so the first call after registration succeeds.
TEST_F(RegistrationTest, DispatchNeedsTheRegisteredTypeLibraryAndRetriesAfterAFailure)
{
    ASSERT_HR(S_OK, dll.DllUnregisterServer());
    com_ptr<IDispatch> result;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_IDispatch, result));
    LPOLESTR name = const_cast<LPOLESTR>(L"DataNum");
    DISPID id = 0;
    EXPECT_HR(TYPE_E_LIBNOTREGISTERED, result->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    ::VariantInit(&value);
    EXPECT_HR(TYPE_E_LIBNOTREGISTERED, result->Invoke(6, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr));

    ASSERT_HR(S_OK, dll.DllRegisterServer());
    EXPECT_HR(S_OK, result->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    EXPECT_EQ(6, id);
    EXPECT_HR(S_OK, result->Invoke(6, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr));
    EXPECT_EQ(VT_BSTR, value.vt);
    ::VariantClear(&value);
}
