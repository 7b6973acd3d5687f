// At a process's end the platform stops every other thread wherever it stood (perhaps inside an
// allocation, holding the heap's lock, or inside one of the module's own locks), then notifies
// the DLL, and the C runtime runs the DLL's static destructors after the entry point returns.
// Whatever a destructor did then could wait for those threads for ever. So the entry point notes
// the end first, and the process-wide objects' destructors do nothing once it is noted: the
// process's end frees their memory, handles and references with everything else. When the DLL
// is unloaded while the process goes on, they clean up as usual.
#pragma once

#include <new>
#include <utility>

namespace tallyfold {

// Called by the entry point at the process-termination notification, before it returns.
void NoteProcessEnding() noexcept;
bool ProcessEnding() noexcept;

// A process-wide object that is destroyed when the DLL is unloaded, and left as it is when the
// process ends.
template <typename T>
class unload_time_static {
public:
    template <typename... Args>
    explicit unload_time_static(Args&&... args)
    {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    ~unload_time_static()
    {
        if (!ProcessEnding())
            get().~T();
    }
    unload_time_static(const unload_time_static&) = delete;
    unload_time_static& operator=(const unload_time_static&) = delete;

    T& get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

} // namespace tallyfold
