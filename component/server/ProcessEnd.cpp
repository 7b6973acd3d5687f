#include "ProcessEnd.h"

#include <atomic>

namespace tallyfold {

namespace {

std::atomic<bool> g_bProcessEnding{false};

} // namespace

void NoteProcessEnding() noexcept
{
    g_bProcessEnding.store(true);
}

bool ProcessEnding() noexcept
{
    return g_bProcessEnding.load();
}

} // namespace tallyfold
