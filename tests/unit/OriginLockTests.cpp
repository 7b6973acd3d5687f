// The origin lock, in-process. A locked build's control object is sited the way a browser sites
// it: with a site that states the page (the container's moniker, or the page's document) and
// hands out the host's security manager, which states the page's security id. URLs, monikers
// and ids are the platform's own (its URL moniker, its security manager, its URL parser); the
// site, the document and the manager around them stand in for the browser. A build without the
// lock must answer as it always did.
#include "TestSupport.h"

#include <objsafe.h>
#include <ocidl.h>
#include <servprov.h>
#include <urlmon.h>

#include <cstring>
#include <memory>
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

#include "DocumentStandIn.h"
#include "OriginLock.h"

// The script engines' interface ids are not all in the toolchain's libraries: defined here.
#include <initguid.h>

#include <activscp.h>

namespace {

// The hosts this build serves, as its configuration gave them.
const char* const kHosts[] = {TALLYFOLD_ALLOWED_HOSTS};
const std::wstring kFirstHost(kHosts[0], kHosts[0] + std::strlen(kHosts[0]));
const char* const kLast = kHosts[sizeof kHosts / sizeof kHosts[0] - 1];
const std::wstring kLastHost(kLast, kLast + std::strlen(kLast));

// The custom policy under which a script engine asks its host to confirm that an object it
// created is safe for scripting (not in the toolchain's libraries).
const GUID kConfirmObjectSafety = {0x10200490, 0xfa38, 0x11d0, {0xac, 0x0e, 0x00, 0xa0, 0xc9, 0x0f, 0xff, 0xc0}};

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return text;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// A counted object on the test's stack: it must end with the one reference it started with.
template <typename Itf>
class StackObject : public Itf {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

// The page's URL as the platform's URL moniker holds it, and its display name.
com_ptr<IMoniker> UrlMoniker(const std::wstring& url)
{
    com_ptr<IMoniker> moniker;
    EXPECT_HR(S_OK, ::CreateURLMonikerEx(nullptr, url.c_str(), moniker.put(), URL_MK_UNIFORM)) << Narrow(url);
    return moniker;
}

// The host's security manager of a page: it states the page's security id as the platform's
// own security manager makes it for the page's URL, whole or cut short.
class HostSecurityManager final : public StackObject<IInternetHostSecurityManager> {
public:
    enum class Id { Whole, WithoutZone, Fails };
    HostSecurityManager(std::wstring pageUrl, Id id = Id::Whole) : m_url(std::move(pageUrl)), m_id(id) {}

    int idCalls = 0;

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
        ++idCalls;
        if (m_id == Id::Fails)
            return E_FAIL;
        com_ptr<IInternetSecurityManager> platform;
        HRESULT hr = ::CoInternetCreateSecurityManager(nullptr, platform.put(), 0);
        if (SUCCEEDED(hr))
            hr = platform->GetSecurityId(m_url.c_str(), pbSecurityId, pcbSecurityId, 0);
        if (SUCCEEDED(hr) && m_id == Id::WithoutZone)
            *pcbSecurityId -= sizeof(DWORD);
        return hr;
    }
    // A script engine asks to run the control, then to confirm that it is safe for scripting:
    // both are allowed, the second as a browser allows it, once the object agrees to be safe.
    STDMETHODIMP ProcessUrlAction(DWORD, BYTE* pPolicy, DWORD cbPolicy, BYTE*, DWORD, DWORD, DWORD) override
    {
        if (cbPolicy < sizeof(DWORD))
            return E_INVALIDARG;
        const DWORD allow = URLPOLICY_ALLOW;
        std::memcpy(pPolicy, &allow, sizeof allow);
        return S_OK;
    }
    STDMETHODIMP QueryCustomPolicy(REFGUID guidKey, BYTE** ppPolicy, DWORD* pcbPolicy, BYTE* pContext, DWORD,
                                   DWORD) override
    {
        if (!::IsEqualGUID(guidKey, kConfirmObjectSafety))
            return E_NOTIMPL;
        com_ptr<IObjectSafety> safety;
        IUnknown* object = reinterpret_cast<CONFIRMSAFETY*>(pContext)->pUnk;
        const bool safe = SUCCEEDED(object->QueryInterface(IID_IObjectSafety, safety.put_void())) &&
                          SUCCEEDED(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                                      INTERFACESAFE_FOR_UNTRUSTED_CALLER));
        *ppPolicy = static_cast<BYTE*>(::CoTaskMemAlloc(sizeof(DWORD)));
        const DWORD policy = safe ? URLPOLICY_ALLOW : URLPOLICY_DISALLOW;
        std::memcpy(*ppPolicy, &policy, sizeof policy);
        *pcbPolicy = sizeof(DWORD);
        return S_OK;
    }

private:
    std::wstring m_url;
    Id m_id;
};

// What a browser's site holds for the object it sites: the page's document, and the host's
// security manager, each only when given.
struct Services {
    IUnknown* document = nullptr;
    HostSecurityManager* manager = nullptr;

    HRESULT QueryService(REFGUID guidService, REFIID riid, void** ppv) const
    {
        *ppv = nullptr;
        if (::IsEqualGUID(guidService, SID_SInternetHostSecurityManager) && manager)
            return manager->QueryInterface(riid, ppv);
        if (::IsEqualGUID(guidService, tallyfold::kSidContainerDispatch) && document)
            return document->QueryInterface(riid, ppv);
        return E_NOINTERFACE;
    }
};

// A site on the test's stack: a service provider with the browser's services (unless told it is
// none), and one interface more of the kind of site it is, answered while answersSecond holds.
template <typename Second>
class ServiceSite : public StackObject<IServiceProvider>, public Second {
public:
    ServiceSite(Services services, const IID& secondId, bool answersSecond, bool isServiceProvider = true)
        : m_services(services), m_secondId(secondId), m_answersSecond(answersSecond),
          m_isServiceProvider(isServiceProvider)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (::IsEqualIID(riid, IID_IUnknown) || (m_isServiceProvider && ::IsEqualIID(riid, IID_IServiceProvider)))
            *ppv = static_cast<IServiceProvider*>(this);
        else if (m_answersSecond && ::IsEqualIID(riid, m_secondId))
            *ppv = static_cast<Second*>(this);
        else
            return E_NOINTERFACE;
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return StackObject::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return StackObject::Release(); }
    STDMETHODIMP QueryService(REFGUID guidService, REFIID riid, void** ppv) override
    {
        return m_services.QueryService(guidService, riid, ppv);
    }
    IUnknown* Unknown() { return static_cast<IServiceProvider*>(this); }

private:
    Services m_services;
    const IID& m_secondId;
    bool m_answersSecond;
    bool m_isServiceProvider;
};

// The site of an object: a client site whose container moniker is the page's, when given (an
// <object> element).
class Site final : public ServiceSite<IOleClientSite> {
public:
    Site(Services services, com_ptr<IMoniker> pageMoniker = nullptr, bool isServiceProvider = true)
        : ServiceSite(services, IID_IOleClientSite, static_cast<bool>(pageMoniker), isServiceProvider),
          m_moniker(std::move(pageMoniker))
    {
    }

    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) override
    {
        *ppmk = nullptr;
        if (dwAssign != OLEGETMONIKER_ONLYIFTHERE || dwWhichMoniker != OLEWHICHMK_CONTAINER)
            return E_INVALIDARG;
        m_moniker->AddRef();
        *ppmk = m_moniker.get();
        return S_OK;
    }
    STDMETHODIMP GetContainer(IOleContainer** ppContainer) override
    {
        *ppContainer = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

private:
    com_ptr<IMoniker> m_moniker;
};

// A browser's page as the two ways of siting an object state it: the same URL, as the
// container's moniker of an <object> element and as the document of a script's object.
enum class Route { Moniker, Document };
const Route kRoutes[] = {Route::Moniker, Route::Document};
const char* Name(Route route)
{
    return route == Route::Moniker ? "container moniker" : "document";
}

// The document that a browser's site hands out: one reference, the caller's.
com_ptr<IUnknown> Document(const std::wstring& url)
{
    return com_ptr<IUnknown>::attach(static_cast<IUnknown*>(tftest::NewDocumentStandIn(url.c_str())));
}

// The page's host in a zone of its own, for as long as the object lives: the mapping the
// browser's zone settings hold per domain (HKCU ...\ZoneMap\Domains\<host>, "https").
class ZoneMapping {
public:
    ZoneMapping(const std::wstring& host, DWORD zone)
    {
        m_key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains\\" + host;
        tallyfold::unique_hkey key;
        EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, m_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                                   nullptr, key.put(), nullptr));
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"https", 0, REG_DWORD,
                                                  reinterpret_cast<const BYTE*>(&zone), sizeof zone));
    }
    ~ZoneMapping() { ::RegDeleteKeyW(HKEY_CURRENT_USER, m_key.c_str()); }
    ZoneMapping(const ZoneMapping&) = delete;
    ZoneMapping& operator=(const ZoneMapping&) = delete;

private:
    std::wstring m_key;
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

    // Sites a new control on the site and checks what follows: SetSite's answer, the safety
    // question, a CsvWrite, and that the control let go of everything it was given.
    void ExpectSiting(IServiceProvider* site, const ULONG& siteRefs, bool served)
    {
        {
            com_ptr<CLIGetXmlQR> control = NewControl();
            ASSERT_TRUE(control);
            EXPECT_HR(served ? S_OK : E_ACCESSDENIED, SetSite(control.get(), site));
            EXPECT_HR(served ? S_OK : E_FAIL, AskToBeSafe(control.get()));
            bool written = false;
            EXPECT_EQ(served ? kServed : kRefused, Write(control.get(), written));
            EXPECT_EQ(served, written);
        }
        EXPECT_EQ(1u, siteRefs) << "the control released its site";
    }

    static constexpr const wchar_t* kServed = L"S_OK/";
    static constexpr const wchar_t* kRefused = L"E_FAIL/QR10011E";

    TempFolder folder{L"tallyfold-lock-", L"fixture"};
};

} // namespace

// The page's URL decides, as the platform parses it: scheme, host and port, whatever else the
// URL holds. Each URL is tried both ways a browser states a page, with the security id that the
// platform's security manager makes for it.
TEST_F(SitedLockTest, ThePageOriginDecidesWhetherTheControlServes)
{
    const std::wstring host = kFirstHost;
    struct Row {
        std::wstring url;
        bool served;
    };
    const Row rows[] = {
        {L"https://" + host + L"/", true},
        {L"https://" + host + L"/service/page.html?a=1#top", true},
        {L"https://" + kLastHost + L"/", true},
        {L"https://" + Upper(host) + L"/", true},
        {L"HTTPS://" + host + L"/", true},
        {L"https://" + host + L":443/", true},
        {L"https://user@" + host + L"/", true},
        {L"https://" + host + L":8443/", false},
        {L"http://" + host + L"/", false},
        {L"https://" + host + L".evil.test/", false},
        {L"https://evil-" + host + L"/", false},
        {L"https://evil." + host + L"/", false},
        {L"https://evil.test/?https://" + host + L"/", false},
        {L"https://" + host + L"@evil.test/", false},
        {L"file:///C:/service/page.html", false},
        {L"about:blank", false},
    };
    for (const Row& row : rows) {
        for (Route route : kRoutes) {
            SCOPED_TRACE(Narrow(row.url) + " as the " + Name(route));
            HostSecurityManager manager(row.url);
            com_ptr<IUnknown> document = route == Route::Document ? Document(row.url) : nullptr;
            Site site({document.get(), &manager}, route == Route::Moniker ? UrlMoniker(row.url) : nullptr);
            ExpectSiting(&site, site.refs, row.served);
            EXPECT_LE(manager.idCalls, 1) << "the page is judged once, at SetSite";
            EXPECT_EQ(1u, manager.refs) << "the control released the security manager";
            if (document) {
                EXPECT_EQ(0u, document.detach()->Release()) << "the control released the document";
            }
        }
    }
    EXPECT_HR(S_OK, dll.DllCanUnloadNow());
}

// The zone that the host's security manager states is the second condition: only a zone that
// pages are served from counts, and a browser's site that cannot state either condition is
// refused. A site that shows no page and has no manager is a script host's: it is served.
TEST_F(SitedLockTest, ThePageZoneIsASecondCondition)
{
    const std::wstring page = L"https://" + kFirstHost + L"/";
    struct Row {
        const char* name;
        DWORD mappedZone; // 0: the zone the platform gives by itself
        HostSecurityManager::Id id;
        bool showsPage;
        bool hasManager;
        bool served;
    };
    const DWORD kNone = 0;
    const Row rows[] = {
        {"the Internet zone", kNone, HostSecurityManager::Id::Whole, true, true, true},
        {"the Trusted sites zone", URLZONE_TRUSTED, HostSecurityManager::Id::Whole, true, true, true},
        {"the Restricted sites zone", URLZONE_UNTRUSTED, HostSecurityManager::Id::Whole, true, true, false},
        {"an id without its zone", kNone, HostSecurityManager::Id::WithoutZone, true, true, false},
        {"a manager that cannot state the id", kNone, HostSecurityManager::Id::Fails, true, true, false},
        {"a page without a security manager", kNone, HostSecurityManager::Id::Whole, true, false, false},
        {"a security manager without a page", kNone, HostSecurityManager::Id::Whole, false, true, false},
        {"neither: a script host", kNone, HostSecurityManager::Id::Whole, false, false, true},
    };
    for (const Row& row : rows) {
        for (Route route : kRoutes) {
            SCOPED_TRACE(std::string(row.name) + " as the " + Name(route));
            std::unique_ptr<ZoneMapping> mapping;
            if (row.mappedZone != kNone)
                mapping = std::make_unique<ZoneMapping>(kFirstHost, row.mappedZone);
            HostSecurityManager manager(page, row.id);
            com_ptr<IUnknown> document = row.showsPage && route == Route::Document ? Document(page) : nullptr;
            Site site({document.get(), row.hasManager ? &manager : nullptr},
                      row.showsPage && route == Route::Moniker ? UrlMoniker(page) : nullptr);
            ExpectSiting(&site, site.refs, row.served);
            EXPECT_EQ(1u, manager.refs);
        }
    }
    // A site that is not even a service provider shows nothing either.
    Site bare({}, nullptr, false);
    ExpectSiting(&bare, bare.refs, true);
}

// The ids that the zone rows rest on, as the platform's security manager makes them: the
// origin's text without a port, then the zone; a port of the page's is in no id.
TEST_F(SitedLockTest, ThePlatformsSecurityIdsHoldNoPort)
{
    com_ptr<IInternetSecurityManager> platform;
    ASSERT_HR(S_OK, ::CoInternetCreateSecurityManager(nullptr, platform.put(), 0));
    auto id = [&](const std::wstring& url) {
        BYTE bytes[MAX_SIZE_SECURITY_ID];
        DWORD size = sizeof bytes;
        EXPECT_HR(S_OK, platform->GetSecurityId(url.c_str(), bytes, &size, 0)) << Narrow(url);
        return std::string(reinterpret_cast<const char*>(bytes), size);
    };
    const std::string origin = "https:" + std::string(kHosts[0]);
    EXPECT_EQ(origin + std::string("\x03\0\0\0", 4), id(L"https://" + kFirstHost + L"/"));
    EXPECT_EQ(id(L"https://" + kFirstHost + L"/"), id(L"https://" + kFirstHost + L":8443/"))
        << "the port is the URL's alone to state";
    ZoneMapping restricted(kFirstHost, URLZONE_UNTRUSTED);
    EXPECT_EQ(origin + std::string("\x04\0\0\0", 4), id(L"https://" + kFirstHost + L"/"));
}

TEST_F(SitedLockTest, ARefusedPageGetsTheRefusalFromEveryMethodAndNothingElse)
{
    ASSERT_TRUE(folder.Write(L"certificate.xml", "<a/>"));
    const std::wstring page = L"https://evil-" + kFirstHost + L"/";
    HostSecurityManager manager(page);
    Site site({nullptr, &manager}, UrlMoniker(page));
    com_ptr<CLIGetXmlQR> control = NewControl();
    ASSERT_TRUE(control);
    ASSERT_HR(E_ACCESSDENIED, SetSite(control.get(), site.Unknown()));

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
    EXPECT_EQ(1u, site.refs);
    EXPECT_HR(S_OK, dll.DllCanUnloadNow()) << "a refused call leaked a reference";
}

TEST_F(SitedLockTest, ARefusalOutlastsTheSiteAndAnAllowedPageSurvivesSetSiteNull)
{
    const std::wstring allowedPage = L"https://" + kFirstHost + L"/", refusedPage = L"http://" + kFirstHost + L"/";
    HostSecurityManager allowed(allowedPage), refused(refusedPage);
    Site allowedSite({nullptr, &allowed}, UrlMoniker(allowedPage)), refusedSite({nullptr, &refused}, UrlMoniker(refusedPage));
    bool written = false;

    com_ptr<CLIGetXmlQR> control = NewControl();
    ASSERT_TRUE(control);
    ASSERT_HR(S_OK, SetSite(control.get(), allowedSite.Unknown()));
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

    // Once offered a refused page, the object stays refused, whatever site follows, and keeps
    // none of them.
    ASSERT_HR(S_OK, withSite->SetSite(allowedSite.Unknown()));
    EXPECT_HR(E_ACCESSDENIED, withSite->SetSite(refusedSite.Unknown()));
    EXPECT_EQ(1u, allowedSite.refs) << "the refused object let go of its earlier site";
    EXPECT_HR(E_FAIL, withSite->GetSite(IID_IUnknown, &none));
    for (IUnknown* next : {static_cast<IUnknown*>(nullptr), allowedSite.Unknown()}) {
        EXPECT_HR(next ? E_ACCESSDENIED : S_OK, withSite->SetSite(next));
        EXPECT_HR(E_FAIL, AskToBeSafe(control.get()));
        EXPECT_EQ(kRefused, Write(control.get(), written));
    }
    withSite.reset();
    control.reset();
    EXPECT_EQ(1u, refusedSite.refs);
    EXPECT_EQ(1u, allowedSite.refs);
}

namespace {

// A script engine's host that shows a page: its site hands out the page's document and the
// host's security manager, as a browser's does, and lets the engine create objects only through
// that manager.
class ScriptHost final : public ServiceSite<IActiveScriptSite> {
public:
    explicit ScriptHost(Services services) : ServiceSite(services, IID_IActiveScriptSite, true) {}

    STDMETHODIMP GetLCID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetItemInfo(LPCOLESTR, DWORD, IUnknown**, ITypeInfo**) override { return TYPE_E_ELEMENTNOTFOUND; }
    STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
    STDMETHODIMP OnScriptError(IActiveScriptError*) override { return S_OK; }
    STDMETHODIMP OnEnterScript() override { return S_OK; }
    STDMETHODIMP OnLeaveScript() override { return S_OK; }

    // Runs the engine's statements, then its expression, whose value comes back as text.
    std::wstring Run(const wchar_t* engine, const wchar_t* statements, const wchar_t* expression)
    {
        CLSID clsid;
        com_ptr<IActiveScript> script;
        com_ptr<IActiveScriptParse> parse;
        com_ptr<IObjectSafety> safety;
        const DWORD options = INTERFACESAFE_FOR_UNTRUSTED_DATA | INTERFACE_USES_DISPEX | INTERFACE_USES_SECURITY_MANAGER;
        if (FAILED(::CLSIDFromProgID(engine, &clsid)) ||
            FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript, script.put_void())) ||
            FAILED(script.query(IID_IObjectSafety, safety)) ||
            FAILED(safety->SetInterfaceSafetyOptions(IID_IActiveScriptParse, options, options)) ||
            FAILED(script.query(IID_IActiveScriptParse, parse)) || FAILED(parse->InitNew()) ||
            FAILED(script->SetScriptSite(static_cast<IActiveScriptSite*>(this))) || FAILED(script->SetScriptState(SCRIPTSTATE_STARTED)))
            return L"<no engine>";
        VARIANT value;
        ::VariantInit(&value);
        HRESULT hr = parse->ParseScriptText(statements, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr);
        if (SUCCEEDED(hr))
            hr = parse->ParseScriptText(expression, nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISEXPRESSION, &value,
                                        nullptr);
        std::wstring text = L"<script failed>";
        if (SUCCEEDED(hr) && SUCCEEDED(::VariantChangeType(&value, &value, 0, VT_BSTR)))
            text = Str(V_BSTR(&value));
        ::VariantClear(&value);
        script->Close();
        return text;
    }

private:
};

} // namespace

// A page's script creates the control through a real script engine, which asks the browser's
// security manager to run it and to confirm that it is safe for scripting before it sites it:
// a refused page has the object dropped by the engine at SetSite, and the script never holds it.
TEST_F(SitedLockTest, ScriptEnginesDropTheControlOfARefusedPage)
{
    struct Engine {
        const wchar_t* progId;
        const wchar_t* statements;
        const wchar_t* expression;
    };
    const Engine engines[] = {
        {L"JScript",
         L"function probe() { try { return new ActiveXObject(\"mrv.CLCGetXmlQR\").ClearXmlData().Result; }"
         L" catch (e) { return \"not created\"; } }",
         L"probe()"},
        {L"VBScript",
         L"Function Probe()\nOn Error Resume Next\nProbe = \"not created\"\nDim c\n"
         L"Set c = CreateObject(\"mrv.CLCGetXmlQR\")\nIf Err.Number = 0 Then Probe = c.ClearXmlData().Result\n"
         L"End Function\n",
         L"Probe()"},
    };
    struct Row {
        std::wstring page;
        const wchar_t* outcome;
    };
    const Row rows[] = {
        {L"https://" + kFirstHost + L"/", L"S_OK"},
        {L"https://" + kFirstHost + L":8443/", L"not created"},
        {L"https://evil.test/?https://" + kFirstHost + L"/", L"not created"},
    };
    for (const Engine& engine : engines) {
        for (const Row& row : rows) {
            SCOPED_TRACE(Narrow(engine.progId) + ": " + Narrow(row.page));
            HostSecurityManager manager(row.page);
            com_ptr<IUnknown> document = Document(row.page);
            ScriptHost host({document.get(), &manager});
            EXPECT_EQ(row.outcome, host.Run(engine.progId, engine.statements, engine.expression));
            EXPECT_EQ(1u, manager.refs);
            EXPECT_EQ(0u, document.detach()->Release()) << "the control released the document";
        }
    }
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
