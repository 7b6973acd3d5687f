// The installer's handles (databases, summary information), closed on every path.
#pragma once

#include "Owners.h"

#include <msi.h>

namespace tallyfold {

struct msi_handle_traits {
    using type = MSIHANDLE;
    static type invalid() noexcept { return 0; }
    static void close(type h) noexcept { ::MsiCloseHandle(h); }
};

using unique_msi_handle = unique_resource<msi_handle_traits>;

} // namespace tallyfold
