#include "OriginLock.h"

#include <servprov.h>
#include <urlmon.h>

#include <cstddef>
#include <cstring>

namespace tallyfold {

namespace {

// The hosts this build serves, each as https://host on the default port (build setting).
const char* const kAllowedHosts[] = {TALLYFOLD_ALLOWED_HOSTS};

// Scheme and host compare as URL origins do: ASCII letters without regard to case, every
// other byte as it is (a byte of a double-byte character never equals an allowed host's).
bool EqualsIgnoringAsciiCase(const char* text, std::size_t length, const char* expected) noexcept
{
    if (std::strlen(expected) != length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        char e = expected[i];
        if (e >= 'A' && e <= 'Z')
            e = static_cast<char>(e - 'A' + 'a');
        if (c != e)
            return false;
    }
    return true;
}

// A host security id is "scheme:host", then ":port" when the port is not the scheme's
// default, in 8-bit text without a terminator, then the page's zone as four bytes. Only the
// cbSecurityId bytes that the manager reports having written are read, and no more than the
// buffer holds.
bool IsAllowedSecurityId(const BYTE* pbSecurityId, DWORD cbSecurityId) noexcept
{
    if (cbSecurityId <= sizeof(DWORD) || cbSecurityId > MAX_SIZE_SECURITY_ID)
        return false;
    const char* text = reinterpret_cast<const char*>(pbSecurityId);
    const char* end = text + (cbSecurityId - sizeof(DWORD));
    const char* colon = static_cast<const char*>(std::memchr(text, ':', static_cast<std::size_t>(end - text)));
    if (!colon || !EqualsIgnoringAsciiCase(text, static_cast<std::size_t>(colon - text), "https"))
        return false;
    const char* host = colon + 1;
    for (const char* p = end; p != host; --p) {
        if (p[-1] == ':') {
            // A port written out is allowed only when it is the default one.
            if (!EqualsIgnoringAsciiCase(p, static_cast<std::size_t>(end - p), "443"))
                return false;
            end = p - 1;
            break;
        }
    }
    for (const char* allowed : kAllowedHosts) {
        if (EqualsIgnoringAsciiCase(host, static_cast<std::size_t>(end - host), allowed))
            return true;
    }
    return false;
}

// A site chain without a host security manager belongs to a script host outside the browser
// (a script the user runs): it shows no page, and is served as an unlocked build serves it.
// A manager that cannot state the page's origin serves nothing.
bool SiteIsAllowed(IUnknown* pUnkSite) noexcept
{
    com_ptr<IServiceProvider> provider;
    if (FAILED(pUnkSite->QueryInterface(IID_IServiceProvider, provider.put_void())) || !provider)
        return true;
    com_ptr<IInternetHostSecurityManager> manager;
    if (FAILED(provider->QueryService(SID_SInternetHostSecurityManager, IID_IInternetHostSecurityManager,
                                      manager.put_void())) ||
        !manager)
        return true;
    BYTE securityId[MAX_SIZE_SECURITY_ID];
    DWORD cbSecurityId = sizeof securityId;
    if (FAILED(manager->GetSecurityId(securityId, &cbSecurityId, 0)))
        return false;
    return IsAllowedSecurityId(securityId, cbSecurityId);
}

} // namespace

STDMETHODIMP OriginLock::SetSite(IUnknown* pUnkSite)
{
    m_pSite = com_ptr<IUnknown>(pUnkSite);
    if (pUnkSite && !SiteIsAllowed(pUnkSite))
        m_bOriginRefused = true;
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
