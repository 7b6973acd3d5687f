#include "SitewardSetup.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <urlmon.h>

#include <new>
#include <stdexcept>
#include <string>

#include "Owners.h"

namespace siteward {
namespace {

using tallyfold::com_ptr;
using tallyfold::unique_bstr;
using tallyfold::unique_hkey;

constexpr char kZoneKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\2";
constexpr char kZoneFlagsValue[] = "Flags";
// Custom edit, add sites and supports verification, without require verification: while it is
// in place the zone takes origins without asking for server verification.
constexpr DWORD kTemporaryFlags = 0x43;
constexpr char kAllowKeyPath[] = "Software\\Microsoft\\Internet Explorer\\New Windows\\Allow";
constexpr BYTE kAllowData[2] = {0, 0};
constexpr wchar_t kOriginScheme[] = L"https://";

// The Trusted sites zone's "Flags" value for the length of one run: the open zone key, the
// value it held before the run, and whether the temporary value is in place. The user's
// setting must come back whatever ends the run, so the caller's last resort can ask for the
// restore as well.
class ZoneFlags {
public:
    bool Open()
    {
        return ::RegOpenKeyExA(HKEY_CURRENT_USER, kZoneKeyPath, 0, KEY_ALL_ACCESS, m_key.put()) == ERROR_SUCCESS;
    }

    // The saved value is 4 bytes whatever type it was stored under; a longer value does not fit
    // and fails the read. A shorter one fills the start of a zeroed buffer and comes back as a
    // DWORD of the same low-order bytes.
    bool Save()
    {
        DWORD size = sizeof(m_saved);
        return ::RegQueryValueExA(m_key.get(), kZoneFlagsValue, nullptr, nullptr, m_saved, &size) == ERROR_SUCCESS;
    }

    bool Raise()
    {
        if (!Write(reinterpret_cast<const BYTE*>(&kTemporaryFlags)))
            return false;
        m_raised = true;
        return true;
    }

    bool Restore()
    {
        if (!Write(m_saved))
            return false;
        m_raised = false;
        return true;
    }

    bool IsRaised() const { return m_raised; }

    void Close() { m_key.reset(); }

private:
    bool Write(const BYTE* data)
    {
        return ::RegSetValueExA(m_key.get(), kZoneFlagsValue, 0, REG_DWORD, data, sizeof(DWORD)) == ERROR_SUCCESS;
    }

    unique_hkey m_key;
    BYTE m_saved[sizeof(DWORD)] = {};
    bool m_raised = false;
};

// The run under way, for the last-chance filter below.
ZoneFlags* g_pRunFlags = nullptr;

// A fault inside the security manager (an access violation, say) is no C++ exception: no catch
// sees it, and the process would end with the zone still taking sites without verification.
// While a run is under way, the last chance of an unhandled fault puts the user's "Flags" back
// and ends the process as an exception ends the run.
LONG WINAPI RestoreOnFault(EXCEPTION_POINTERS*)
{
    if (g_pRunFlags && g_pRunFlags->IsRaised())
        g_pRunFlags->Restore();
    ::TerminateProcess(::GetCurrentProcess(), kExitRefused);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Holds the filter in place for one run; the caller's own filter comes back after it.
class FaultRestore {
public:
    explicit FaultRestore(ZoneFlags& flags) noexcept : m_previous(::SetUnhandledExceptionFilter(RestoreOnFault))
    {
        g_pRunFlags = &flags;
    }
    ~FaultRestore()
    {
        g_pRunFlags = nullptr;
        ::SetUnhandledExceptionFilter(m_previous);
    }
    FaultRestore(const FaultRestore&) = delete;
    FaultRestore& operator=(const FaultRestore&) = delete;

private:
    LPTOP_LEVEL_EXCEPTION_FILTER m_previous;
};

// "https://" and the host, as the security manager takes it. A host that is not text of the
// ANSI code page, or a string that cannot be had, ends the run as an exception does.
unique_bstr MakeOrigin(const char* host)
{
    const int length = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, host, -1, nullptr, 0);
    if (length <= 0)
        throw std::invalid_argument("host name is not ANSI text");
    std::wstring origin(kOriginScheme);
    const size_t schemeLength = origin.size();
    origin.resize(schemeLength + static_cast<size_t>(length));
    if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, host, -1, &origin[schemeLength], length) != length)
        throw std::invalid_argument("host name is not ANSI text");
    unique_bstr bstr(::SysAllocString(origin.c_str()));
    if (!bstr)
        throw std::bad_alloc();
    return bstr;
}

int RegisterWithZone(const char* const (&hosts)[2], ZoneFlags& flags)
{
    if (!flags.Open())
        return kExitFailed;
    if (!flags.Save())
        return kExitFailed;
    if (!flags.Raise())
        return kExitFailed;

    // An apartment that this thread already entered serves as well, so the result is not tested.
    ::CoInitialize(nullptr);

    com_ptr<IInternetSecurityManager> manager;
    if (FAILED(::CoCreateInstance(CLSID_InternetSecurityManager, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IInternetSecurityManager, manager.put_void()))) {
        // The run fails whether or not the user's value came back.
        flags.Restore();
        return kExitFailed;
    }

    const unique_bstr origins[] = {MakeOrigin(hosts[0]), MakeOrigin(hosts[1])};
    for (const unique_bstr& origin : origins) {
        // Only access denied stops the run: any other answer, an origin already in the zone
        // among them, leaves the zone as good as the tool can make it.
        if (manager->SetZoneMapping(URLZONE_TRUSTED, origin.get(), SZM_CREATE) == E_ACCESSDENIED) {
            if (!flags.Restore())
                return kExitFailed;
            return kExitRefused;
        }
    }
    manager.reset();

    if (!flags.Restore())
        return kExitFailed;
    flags.Close();

    unique_hkey allow;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, kAllowKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, allow.put(),
                          nullptr) != ERROR_SUCCESS)
        return kExitFailed;
    for (const char* host : hosts) {
        if (::RegSetValueExA(allow.get(), host, 0, REG_BINARY, kAllowData, sizeof(kAllowData)) != ERROR_SUCCESS)
            return kExitFailed;
    }
    return kExitDone;
}

} // namespace

int RegisterTrustedSites(const char* downloadHost, const char* secondHost) noexcept
{
    const char* const hosts[2] = {downloadHost, secondHost};
    ZoneFlags flags;
    FaultRestore lastChance(flags);
    try {
        return RegisterWithZone(hosts, flags);
    } catch (...) {
        // Whatever ended the run, the user's security setting must not stay weakened.
        if (flags.IsRaised())
            flags.Restore();
        return kExitRefused;
    }
}

} // namespace siteward
