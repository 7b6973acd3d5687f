// Siteward's work: puts the service's two HTTPS origins into the current user's Trusted sites
// zone and allows pop-up windows from the same hosts. The program is a plain call of
// RegisterTrustedSites; tests call it in-process with security managers of their own.
#pragma once

namespace siteward {

enum ExitCode : int {
    // Both origins handed to the zone (or already there) and both pop-up values written.
    kExitDone = 0,
    // A registry step failed, or the security manager could not be created.
    kExitFailed = 1,
    // The security manager refused a mapping with access denied, or an exception ended the run.
    kExitRefused = 255,
};

// The hosts are bare host names in the ANSI code page ("download.example.com": no scheme,
// no slash); the download host comes first in both the zone and the pop-up allow list.
// Returns the process exit code. Never throws; a fault that no handler takes during the run
// ends the process with kExitRefused, after the zone's "Flags" are put back.
int RegisterTrustedSites(const char* downloadHost, const char* secondHost) noexcept;

} // namespace siteward
