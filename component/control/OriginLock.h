// The origin lock of a locked build: the control object learns from the site that a browser
// hands it which page it was created for, and serves only the service's own pages.
#pragma once

#include "Owners.h"

#include <ocidl.h>

namespace tallyfold {

// The service under which a browser's site hands out the page's document. The toolchain's
// headers do not declare it.
inline constexpr GUID kSidContainerDispatch = {0xb722be00, 0x4e68, 0x101b, {0xa2, 0xbc, 0x00, 0xaa, 0x00, 0x40, 0x47, 0x70}};

// IObjectWithSite for the control object. The page is judged once, when the site is set: its
// URL, as the site states it, parsed by the platform, and its security zone, as the host's
// security manager states it.
class OriginLock : public IObjectWithSite {
public:
    // Fails with E_ACCESSDENIED for a page outside the allowed origins, and for every site
    // after such a page: a script engine then drops the object it was creating.
    STDMETHODIMP SetSite(IUnknown* pUnkSite) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppvSite) override;

protected:
    OriginLock() noexcept = default;
    virtual ~OriginLock() = default;

    // True once the object has been offered a site on a page outside the allowed origins.
    // Nothing undoes it: the object has been in that page's hands.
    bool OriginRefused() const noexcept { return m_bOriginRefused; }

private:
    com_ptr<IUnknown> m_pSite;
    bool m_bOriginRefused = false;
};

} // namespace tallyfold
