// The origin lock of a locked build: the control object learns from the site that a script
// engine hands it which page it was created for, and serves only the service's own pages.
#pragma once

#include "Owners.h"

#include <ocidl.h>

namespace tallyfold {

// IObjectWithSite for the control object. The site's chain is asked once, when the site is
// set, for the host's security manager and through it for the page's origin.
class OriginLock : public IObjectWithSite {
public:
    STDMETHODIMP SetSite(IUnknown* pUnkSite) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppvSite) override;

protected:
    OriginLock() noexcept = default;
    virtual ~OriginLock() = default;

    // True once the object has been sited on a page outside the allowed origins. Neither a
    // later site nor SetSite(NULL) undoes it: the object has been in that page's hands.
    bool OriginRefused() const noexcept { return m_bOriginRefused; }

private:
    com_ptr<IUnknown> m_pSite;
    bool m_bOriginRefused = false;
};

} // namespace tallyfold
