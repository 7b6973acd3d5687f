#include "OriginLock.h"

#include <mshtml.h>
#include <servprov.h>
#include <shlwapi.h>
#include <urlmon.h>

#include <cstring>
#include <string>

namespace tallyfold {

namespace {

// The hosts this build serves, each as https://host on the default port (build setting).
const char* const kAllowedHosts[] = {TALLYFOLD_ALLOWED_HOSTS};

constexpr DWORD kHttpsPort = 443;

// The host as the platform's parser gives it, compared as URL hosts compare: ASCII letters
// without regard to case, every other character as it is.
bool IsAllowedHost(const wchar_t* host) noexcept
{
    for (const char* allowed : kAllowedHosts) {
        const std::size_t length = std::strlen(allowed);
        std::size_t i = 0;
        for (; i < length && host[i]; ++i) {
            wchar_t c = host[i];
            if (c >= L'A' && c <= L'Z')
                c = static_cast<wchar_t>(c - L'A' + L'a');
            char a = allowed[i];
            if (a >= 'A' && a <= 'Z')
                a = static_cast<char>(a - 'A' + 'a');
            if (c != static_cast<unsigned char>(a))
                break;
        }
        if (i == length && !host[i])
            return true;
    }
    return false;
}

// The page's URL as the platform parses it: https, a host name that is one of the allowed
// ones, and the default port, written out or not. Nothing else of the URL (a path, a query
// that names another origin, a user name) changes whose page it is.
bool IsAllowedUrl(const wchar_t* url) noexcept
{
    com_ptr<IUri> uri;
    if (FAILED(::CreateUri(url, Uri_CREATE_CANONICALIZE, 0, uri.put())) || !uri)
        return false;
    DWORD scheme = 0, hostType = 0, port = 0;
    unique_bstr host;
    return uri->GetScheme(&scheme) == S_OK && scheme == URL_SCHEME_HTTPS && uri->GetHostType(&hostType) == S_OK &&
           hostType == Uri_HOST_DNS && uri->GetPort(&port) == S_OK && port == kHttpsPort &&
           uri->GetHost(host.put()) == S_OK && host && IsAllowedHost(host.get());
}

// A security id ends with the page's zone, four bytes. Pages are served from the local
// machine, intranet, trusted and Internet zones; the Restricted zone is refused, and so are
// four bytes that are no zone at all (a manager that wrote none leaves the id's text there).
bool IsServedZone(const BYTE* pbSecurityId, DWORD cbSecurityId) noexcept
{
    if (cbSecurityId <= sizeof(DWORD) || cbSecurityId > MAX_SIZE_SECURITY_ID)
        return false;
    DWORD zone = 0;
    std::memcpy(&zone, pbSecurityId + cbSecurityId - sizeof(DWORD), sizeof(DWORD));
    return zone == URLZONE_LOCAL_MACHINE || zone == URLZONE_INTRANET || zone == URLZONE_TRUSTED ||
           zone == URLZONE_INTERNET;
}

// Whether the site shows a page, and its URL then (empty when the site cannot state it). An
// object of an <object> element is told its page by the container's moniker on its client
// site; an object that a page's script creates, by the document that the site hands out.
bool FindPageUrl(IUnknown* pUnkSite, std::wstring& url)
{
    url.clear();
    com_ptr<IOleClientSite> clientSite;
    com_ptr<IMoniker> moniker;
    if (SUCCEEDED(pUnkSite->QueryInterface(IID_IOleClientSite, clientSite.put_void())) && clientSite &&
        SUCCEEDED(clientSite->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_CONTAINER, moniker.put())) && moniker) {
        com_ptr<IBindCtx> context;
        unique_cotaskmem_ptr<wchar_t> name;
        if (SUCCEEDED(::CreateBindCtx(0, context.put())) &&
            SUCCEEDED(moniker->GetDisplayName(context.get(), nullptr, name.put())) && name)
            url = name.get();
        return true;
    }
    com_ptr<IServiceProvider> provider;
    com_ptr<IHTMLDocument2> document;
    if (SUCCEEDED(pUnkSite->QueryInterface(IID_IServiceProvider, provider.put_void())) && provider &&
        SUCCEEDED(provider->QueryService(kSidContainerDispatch, IID_IHTMLDocument2, document.put_void())) && document) {
        unique_bstr text;
        if (SUCCEEDED(document->get_URL(text.put())) && text)
            url = text.get();
        return true;
    }
    return false;
}

com_ptr<IInternetHostSecurityManager> HostSecurityManager(IUnknown* pUnkSite) noexcept
{
    com_ptr<IServiceProvider> provider;
    com_ptr<IInternetHostSecurityManager> manager;
    if (SUCCEEDED(pUnkSite->QueryInterface(IID_IServiceProvider, provider.put_void())) && provider)
        provider->QueryService(SID_SInternetHostSecurityManager, IID_IInternetHostSecurityManager, manager.put_void());
    return manager;
}

// A site that shows no page and has no security manager belongs to a script host outside the
// browser (a script that the user runs): it is served as an unlocked build serves it. A site
// that has either is a browser's, and both must speak for the page: its URL one of the allowed
// origins, its zone one that pages are served from.
bool SiteIsAllowed(IUnknown* pUnkSite)
{
    std::wstring url;
    const bool showsPage = FindPageUrl(pUnkSite, url);
    const com_ptr<IInternetHostSecurityManager> manager = HostSecurityManager(pUnkSite);
    if (!showsPage && !manager)
        return true;
    if (!manager || url.empty() || !IsAllowedUrl(url.c_str()))
        return false;
    BYTE securityId[MAX_SIZE_SECURITY_ID];
    DWORD cbSecurityId = sizeof securityId;
    return SUCCEEDED(manager->GetSecurityId(securityId, &cbSecurityId, 0)) && IsServedZone(securityId, cbSecurityId);
}

} // namespace

STDMETHODIMP OriginLock::SetSite(IUnknown* pUnkSite)
{
    if (!pUnkSite) {
        m_pSite.reset();
        return S_OK;
    }
    try {
        if (!m_bOriginRefused && !SiteIsAllowed(pUnkSite))
            m_bOriginRefused = true;
    } catch (...) {
        m_bOriginRefused = true;
    }
    if (m_bOriginRefused) {
        m_pSite.reset();
        return E_ACCESSDENIED;
    }
    m_pSite = com_ptr<IUnknown>(pUnkSite);
    return S_OK;
}

STDMETHODIMP OriginLock::GetSite(REFIID riid, void** ppvSite)
{
    if (!ppvSite)
        return E_POINTER;
    *ppvSite = nullptr;
    if (!m_pSite)
        return E_FAIL;
    return m_pSite->QueryInterface(riid, ppvSite);
}

} // namespace tallyfold
