// The origin lock, in-process. A locked build's control object is sited the way a browser's
// script engine sites it: with a substitute site whose service provider hands out a substitute
// host security manager, which states the page's security id. A build without the lock must
// answer as it always did.
#include "TestSupport.h"

#include <objsafe.h>
#include <ocidl.h>
#include <servprov.h>
#include <urlmon.h>

#include <cstring>
#include <string>

using namespace tftest;

namespace {

class LockTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_TRUE(dll.Loaded()) << "cannot load the DLL or find its four exports by name";
    }
    TallyfoldDll dll;
};

} // namespace

#ifndef TALLYFOLD_ALLOWED_HOSTS

TEST_F(LockTest, WithoutTheLockNoObjectTakesASite)
{
    for (const CLSID* clsid : {&CLSID_CLCGetXmlQR, &CLSID_CLCGetXmlResultQR}) {
        com_ptr<IUnknown> object;
        ASSERT_HR(S_OK, dll.Create(*clsid, IID_IUnknown, object));
        com_ptr<IObjectWithSite> withSite;
        EXPECT_HR(E_NOINTERFACE, object.query(IID_IObjectWithSite, withSite));
        EXPECT_FALSE(withSite);
    }
}

#else

namespace {

// The hosts this build serves, as its configuration gave them.
const char* const kHosts[] = {TALLYFOLD_ALLOWED_HOSTS};
const std::string kFirstHost = kHosts[0];
const std::string kLastHost = kHosts[sizeof kHosts / sizeof kHosts[0] - 1];
// The zone a security id ends with: here the Internet zone, 3.
const std::string kZone("\x03\0\0\0", 4);

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// A counted object on the test's stack: it must end with the one reference it started with.
template <typename Itf>
class StackObject : public Itf {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

class HostSecurityManager final : public StackObject<IInternetHostSecurityManager> {
public:
    std::string securityId;
    DWORD reportedSize = 0; // what it claims to have written; 0: the id's own size
    HRESULT outcome = S_OK;
    int calls = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, IID_IInternetHostSecurityManager))
            return E_NOINTERFACE;
        *ppv = static_cast<IInternetHostSecurityManager*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetSecurityId(BYTE* pbSecurityId, DWORD* pcbSecurityId, DWORD_PTR) override
    {
        ++calls;
        if (FAILED(outcome))
            return outcome;
        if (*pcbSecurityId < securityId.size())
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(pbSecurityId, securityId.data(), securityId.size());
        *pcbSecurityId = reportedSize ? reportedSize : static_cast<DWORD>(securityId.size());
        return outcome;
    }
    STDMETHODIMP ProcessUrlAction(DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP QueryCustomPolicy(REFGUID, BYTE**, DWORD*, BYTE*, DWORD, DWORD) override { return E_NOTIMPL; }
};

// A site as a script engine passes it; its chain holds the manager when one is given.
class Site final : public StackObject<IServiceProvider> {
public:
    explicit Site(HostSecurityManager* manager, bool isServiceProvider = true)
        : m_manager(manager), m_isServiceProvider(isServiceProvider)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!::IsEqualIID(riid, IID_IUnknown) && !(m_isServiceProvider && ::IsEqualIID(riid, IID_IServiceProvider)))
            return E_NOINTERFACE;
        *ppv = static_cast<IServiceProvider*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP QueryService(REFGUID guidService, REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!m_manager || !::IsEqualGUID(guidService, SID_SInternetHostSecurityManager))
            return E_NOINTERFACE;
        return m_manager->QueryInterface(riid, ppv);
    }

private:
    HostSecurityManager* m_manager;
    bool m_isServiceProvider;
};

class SitedLockTest : public LockTest {
protected:
    com_ptr<CLIGetXmlQR> NewControl()
    {
        com_ptr<CLIGetXmlQR> control;
        EXPECT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_CLIGetXmlQR, control));
        return control;
    }

    static HRESULT SetSite(CLIGetXmlQR* control, IUnknown* site)
    {
        com_ptr<IObjectWithSite> withSite;
        const HRESULT hr = control->QueryInterface(IID_IObjectWithSite, withSite.put_void());
        return FAILED(hr) ? hr : withSite->SetSite(site);
    }

    static HRESULT AskToBeSafe(CLIGetXmlQR* control)
    {
        com_ptr<IObjectSafety> safety;
        const HRESULT hr = control->QueryInterface(IID_IObjectSafety, safety.put_void());
        return FAILED(hr) ? hr : safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3);
    }

    // CsvWrite into the fixture folder: the call's Result and code, and whether the file came.
    std::wstring Write(CLIGetXmlQR* control, bool& written)
    {
        const std::wstring path = folder.Of(L"out.csv");
        ::DeleteFileW(path.c_str());
        unique_bstr bstrPath = Bstr(path.c_str()), text = Bstr(L"a,b\r\n");
        com_ptr<IDispatch> out;
        EXPECT_HR(S_OK, control->CsvWrite(bstrPath.get(), text.get(), out.put()));
        written = ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
        return Outcome(out.get());
    }

    // "Result/DetailErrorInfo" of a method's result object.
    static std::wstring Outcome(IDispatch* out)
    {
        com_ptr<CLIGetXmlResultQR> result;
        if (!out || FAILED(out->QueryInterface(IID_CLIGetXmlResultQR, result.put_void())))
            return L"<no result object>";
        return ReadProperty(result.get(), &CLIGetXmlResultQR::get_Result) + L"/" +
               ReadProperty(result.get(), &CLIGetXmlResultQR::get_DetailErrorInfo);
    }

    TempFolder folder{L"tallyfold-lock-", L"fixture"};
};

const wchar_t kServed[] = L"S_OK/";
const wchar_t kRefused[] = L"E_FAIL/QR10011E";

} // namespace

TEST_F(SitedLockTest, ThePageOriginDecidesWhetherTheControlServes)
{
    enum class Chain { Manager, NoManager, NoServiceProvider };
    struct Row {
        const char* name;
        Chain chain;
        std::string securityId;
        bool served;
        HRESULT outcome;
        DWORD reportedSize;
    };
    const Row rows[] = {
        {"allowed origin", Chain::Manager, "https:" + kFirstHost + kZone, true, S_OK, 0},
        {"the other allowed origin", Chain::Manager, "https:" + kLastHost + kZone, true, S_OK, 0},
        {"upper-case host", Chain::Manager, "https:" + Upper(kFirstHost) + kZone, true, S_OK, 0},
        {"upper-case scheme", Chain::Manager, "HTTPS:" + kFirstHost + kZone, true, S_OK, 0},
        {"default port written out", Chain::Manager, "https:" + kFirstHost + ":443" + kZone, true, S_OK, 0},
        {"another host", Chain::Manager, "https:tallyfold-other.invalid" + kZone, false, S_OK, 0},
        {"http instead of https", Chain::Manager, "http:" + kFirstHost + kZone, false, S_OK, 0},
        {"a port", Chain::Manager, "https:" + kFirstHost + ":8443" + kZone, false, S_OK, 0},
        {"an empty port", Chain::Manager, "https:" + kFirstHost + ":" + kZone, false, S_OK, 0},
        {"a host that only ends with an allowed one", Chain::Manager, "https:evil-" + kFirstHost + kZone, false, S_OK, 0},
        {"a host below an allowed one", Chain::Manager, "https:evil." + kFirstHost + kZone, false, S_OK, 0},
        {"a host that only begins with an allowed one", Chain::Manager, "https:" + kFirstHost + ".evil.invalid" + kZone,
         false, S_OK, 0},
        {"a local file", Chain::Manager, "file:" + kZone, false, S_OK, 0},
        {"no host", Chain::Manager, "https:" + kZone, false, S_OK, 0},
        {"a NUL after the host", Chain::Manager, "https:" + kFirstHost + std::string(1, '\0') + kZone, false, S_OK, 0},
        {"no zone after the origin", Chain::Manager, "https:" + kFirstHost, false, S_OK, 0},
        {"an empty id", Chain::Manager, "", false, S_OK, 0},
        {"a size beyond the buffer", Chain::Manager, "https:" + kFirstHost + kZone, false, S_OK, 600},
        {"a manager that cannot say", Chain::Manager, "https:" + kFirstHost + kZone, false, E_FAIL, 0},
        {"no security manager in the chain", Chain::NoManager, "", true, S_OK, 0},
        {"a site without a service provider", Chain::NoServiceProvider, "", true, S_OK, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HostSecurityManager manager;
        manager.securityId = row.securityId;
        manager.outcome = row.outcome;
        manager.reportedSize = row.reportedSize;
        Site site(row.chain == Chain::Manager ? &manager : nullptr, row.chain != Chain::NoServiceProvider);
        {
            com_ptr<CLIGetXmlQR> control = NewControl();
            ASSERT_TRUE(control);
            ASSERT_HR(S_OK, SetSite(control.get(), &site));
            EXPECT_EQ(row.chain == Chain::Manager ? 1 : 0, manager.calls) << "the page's origin is asked once, at SetSite";

            EXPECT_HR(row.served ? S_OK : E_FAIL, AskToBeSafe(control.get()));
            bool written = false;
            EXPECT_EQ(row.served ? kServed : kRefused, Write(control.get(), written));
            EXPECT_EQ(row.served, written);
            EXPECT_EQ(row.chain == Chain::Manager ? 1 : 0, manager.calls) << "the answer is kept, not asked per call";
        }
        EXPECT_EQ(1u, site.refs) << "the control released its site";
        EXPECT_EQ(1u, manager.refs) << "the control released the security manager";
    }
    EXPECT_HR(S_OK, dll.DllCanUnloadNow());
}

TEST_F(SitedLockTest, ARefusedPageGetsTheRefusalFromEveryMethodAndNothingElse)
{
    ASSERT_TRUE(folder.Write(L"certificate.xml", "<a/>"));
    HostSecurityManager manager;
    manager.securityId = "https:evil-" + kFirstHost + kZone;
    Site site(&manager);
    com_ptr<CLIGetXmlQR> control = NewControl();
    ASSERT_TRUE(control);
    ASSERT_HR(S_OK, SetSite(control.get(), &site));

    unique_bstr path = Bstr(folder.Path().c_str());
    struct Call {
        const char* name;
        HRESULT (*run)(CLIGetXmlQR*, BSTR, IDispatch**);
    };
    const Call calls[] = {
        {"GetFolderPath", [](CLIGetXmlQR* c, BSTR, IDispatch** out) { return c->GetFolderPath(out); }},
        {"ReadXmlData", [](CLIGetXmlQR* c, BSTR folder, IDispatch** out) { return c->ReadXmlData(folder, 10, out); }},
        {"GetXmlData", [](CLIGetXmlQR* c, BSTR, IDispatch** out) { return c->GetXmlData(1, out); }},
        {"ClearXmlData", [](CLIGetXmlQR* c, BSTR, IDispatch** out) { return c->ClearXmlData(out); }},
    };
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        com_ptr<IDispatch> out;
        ASSERT_HR(S_OK, call.run(control.get(), path.get(), out.put()));
        com_ptr<CLIGetXmlResultQR> result;
        ASSERT_HR(S_OK, out.query(IID_CLIGetXmlResultQR, result));
        // Whatever an earlier call or the page left is cleared; only the refusal is there.
        for (const ResultProperty& p : kResultProperties)
            (result.get()->*p.put)(Bstr(L"left over").get());
        ASSERT_HR(S_OK, call.run(control.get(), path.get(), out.put()));
        for (const ResultProperty& p : kResultProperties) {
            unique_bstr value;
            ASSERT_HR(S_OK, (result.get()->*p.get)(value.put()));
            const std::wstring expected = p.name == std::wstring(L"Result")            ? L"E_FAIL"
                                          : p.name == std::wstring(L"DetailErrorInfo") ? L"QR10011E"
                                                                                       : L"";
            EXPECT_EQ(expected, Str(value.get())) << p.name;
        }
    }
    bool written = true;
    EXPECT_EQ(kRefused, Write(control.get(), written));
    EXPECT_FALSE(written) << "a refused CsvWrite created its file";
    control.reset();
    EXPECT_HR(S_OK, dll.DllCanUnloadNow()) << "a refused call leaked a reference";
}

TEST_F(SitedLockTest, ARefusalOutlastsTheSiteAndAnAllowedPageSurvivesSetSiteNull)
{
    HostSecurityManager allowed, refused;
    allowed.securityId = "https:" + kFirstHost + kZone;
    refused.securityId = "http:" + kFirstHost + kZone;
    Site allowedSite(&allowed), refusedSite(&refused);
    bool written = false;

    com_ptr<CLIGetXmlQR> control = NewControl();
    ASSERT_TRUE(control);
    ASSERT_HR(S_OK, SetSite(control.get(), &allowedSite));
    com_ptr<IObjectWithSite> withSite;
    ASSERT_HR(S_OK, control.query(IID_IObjectWithSite, withSite));
    com_ptr<IServiceProvider> got;
    ASSERT_HR(S_OK, withSite->GetSite(IID_IServiceProvider, got.put_void()));
    EXPECT_EQ(static_cast<IServiceProvider*>(&allowedSite), got.get());
    got.reset();
    EXPECT_HR(E_POINTER, withSite->GetSite(IID_IUnknown, nullptr));

    ASSERT_HR(S_OK, withSite->SetSite(nullptr));
    EXPECT_EQ(1u, allowedSite.refs) << "SetSite(NULL) releases the site";
    void* none = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
    EXPECT_HR(E_FAIL, withSite->GetSite(IID_IUnknown, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_HR(S_OK, AskToBeSafe(control.get()));
    EXPECT_EQ(kServed, Write(control.get(), written)) << "after an allowed page, without a site";

    // Once sited on a refused page, the object stays refused, whatever site follows.
    ASSERT_HR(S_OK, withSite->SetSite(&refusedSite));
    for (IUnknown* next : {static_cast<IUnknown*>(nullptr), static_cast<IUnknown*>(&allowedSite)}) {
        ASSERT_HR(S_OK, withSite->SetSite(next));
        EXPECT_HR(E_FAIL, AskToBeSafe(control.get()));
        EXPECT_EQ(kRefused, Write(control.get(), written));
    }
    withSite->SetSite(nullptr);
    EXPECT_EQ(1u, refusedSite.refs);
    EXPECT_EQ(1u, allowedSite.refs);
}

TEST_F(SitedLockTest, OnlyTheControlAnswersIObjectWithSite)
{
    com_ptr<IUnknown> control, result;
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlQR, IID_IUnknown, control));
    ASSERT_HR(S_OK, dll.Create(CLSID_CLCGetXmlResultQR, IID_IUnknown, result));

    com_ptr<IObjectWithSite> withSite;
    ASSERT_HR(S_OK, control.query(IID_IObjectWithSite, withSite));
    com_ptr<IUnknown> identity;
    ASSERT_HR(S_OK, withSite.query(IID_IUnknown, identity));
    EXPECT_EQ(control.get(), identity.get()) << "IObjectWithSite leads back to the same object";
    com_ptr<IObjectSafety> safety;
    ASSERT_HR(S_OK, control.query(IID_IObjectSafety, safety));
    DWORD supported = 0, enabled = 99;
    EXPECT_HR(S_OK, safety->GetInterfaceSafetyOptions(IID_IObjectWithSite, &supported, &enabled));
    EXPECT_EQ(3u, supported);
    EXPECT_EQ(0u, enabled);

    com_ptr<IObjectWithSite> none;
    EXPECT_HR(E_NOINTERFACE, result.query(IID_IObjectWithSite, none)) << "the result object needs no lock";
}

#endif
