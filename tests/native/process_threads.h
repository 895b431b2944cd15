// The threads of this process, as the kernel lists them: whether a run left one behind.
#ifndef TESTS_NATIVE_PROCESS_THREADS_H
#define TESTS_NATIVE_PROCESS_THREADS_H

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace process_threads {

inline size_t Count()
{
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A joined thread can still be listed for a moment while the kernel
// removes it (longer on a busy machine); one that stays listed for two
// seconds was never ended.
inline bool BackTo(size_t n)
{
    for (int i = 0; i < 2000; ++i) {
        if (Count() <= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace process_threads

#endif
