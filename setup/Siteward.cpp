// Siteward: run once by the user, before the service's pages are first opened. It takes no
// arguments, prints nothing and tells its outcome only by its exit code.
#include "SitewardSetup.h"

#ifndef SITEWARD_DOWNLOAD_HOST
#error "SITEWARD_DOWNLOAD_HOST names the service's download host"
#endif
#ifndef SITEWARD_SECOND_HOST
#error "SITEWARD_SECOND_HOST names the service's second host"
#endif

int main(int, char**)
{
    return siteward::RegisterTrustedSites(SITEWARD_DOWNLOAD_HOST, SITEWARD_SECOND_HOST);
}
