// Records the largest single heap allocation made while a watch is open, through the sanitizer
// allocator's hooks.
#ifndef TESTS_NATIVE_ALLOC_WATCH_H
#define TESTS_NATIVE_ALLOC_WATCH_H

#include <atomic>
#include <cstddef>

#include <sanitizer/allocator_interface.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ALLOC_WATCH_HAVE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ALLOC_WATCH_HAVE_ASAN 1
#endif
#ifndef ALLOC_WATCH_HAVE_ASAN
#error "alloc_watch.h needs the AddressSanitizer allocator: the watch would see nothing without it"
#endif

namespace alloc_watch {

namespace detail {
// Open for one thread only: other threads (a fuzzer's own, a test's
// helpers) allocate whenever they like, and counting them would make a
// property fail by chance.
inline thread_local bool t_open = false;
inline std::atomic<size_t> g_largest{0};
inline std::atomic<size_t> g_count{0};

inline void OnMalloc(const volatile void*, size_t size)
{
    if (!t_open)
        return;
    g_count.fetch_add(1, std::memory_order_relaxed);
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
}

inline void OnFree(const volatile void*) {}

// The allocator keeps a handful of hook slots and has no way to remove one,
// so the hooks go in once per process.
inline bool Install()
{
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
    return installed;
}
} // namespace detail

// One watch at a time; it sees only the allocations of the thread that
// opened it, where the code under test runs.
class Watch {
public:
    Watch()
    {
        installed_ = detail::Install();
        detail::g_largest.store(0);
        detail::g_count.store(0);
        detail::t_open = true;
    }
    ~Watch() { detail::t_open = false; }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // False when the hooks could not be installed: then nothing is known.
    bool installed() const { return installed_; }
    size_t largest() const { return detail::g_largest.load(); }
    size_t count() const { return detail::g_count.load(); }

private:
    bool installed_ = false;
};

} // namespace alloc_watch

#endif
