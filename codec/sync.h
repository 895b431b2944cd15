// The mutex and condition variable of the plug-in's own threads.
//
// On Windows they are the system's slim lock and condition variable, which
// hold no kernel object: nothing is left to free when one is dropped, and a
// wake-up is only the wake-up. The C++ runtime's std::mutex there sits on a
// pthread library that makes its events and semaphores on first use, and
// std::mutex never destroys what it made; under Wine every wait and wake-up
// on those is also a round trip to the server. Handing the writer thread its
// buffer took 150-400 microseconds that way, and 25-75 this way.
// Elsewhere they are the standard ones, which the sanitizers know.
#ifndef CODEC_SYNC_H
#define CODEC_SYNC_H

#include <cstdint>
#include <mutex>

#ifndef _WIN32
#include <chrono>
#include <condition_variable>
#endif

namespace codec {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();

private:
    friend class CondVar;
#ifdef _WIN32
    void* srw_ = nullptr; // an SRWLOCK: one pointer, zero when free
#else
    std::mutex mutex_;
#endif
};

class CondVar {
public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    // May return without a notification, as any condition variable may.
    void Wait(std::unique_lock<Mutex>& held);
    // As Wait, returning after at most about that many milliseconds.
    void WaitFor(std::unique_lock<Mutex>& held, uint32_t milliseconds);
    template <typename Ready>
    void Wait(std::unique_lock<Mutex>& held, Ready ready)
    {
        while (!ready())
            Wait(held);
    }
    void NotifyOne();
    void NotifyAll();

private:
#ifdef _WIN32
    void* cv_ = nullptr; // a CONDITION_VARIABLE: one pointer, zero when idle
#else
    std::condition_variable cv_;
#endif
};

#ifndef _WIN32
inline void Mutex::lock() { mutex_.lock(); }
inline void Mutex::unlock() { mutex_.unlock(); }

inline void CondVar::Wait(std::unique_lock<Mutex>& held)
{
    std::unique_lock<std::mutex> inner(held.mutex()->mutex_, std::adopt_lock);
    cv_.wait(inner);
    inner.release();
}

inline void CondVar::WaitFor(std::unique_lock<Mutex>& held, uint32_t milliseconds)
{
    std::unique_lock<std::mutex> inner(held.mutex()->mutex_, std::adopt_lock);
    cv_.wait_for(inner, std::chrono::milliseconds(milliseconds));
    inner.release();
}

inline void CondVar::NotifyOne() { cv_.notify_one(); }
inline void CondVar::NotifyAll() { cv_.notify_all(); }
#endif

} // namespace codec

#endif
