// The lock and the event that the service thread and the dispatcher thread
// share. The Windows build makes them from a critical section and a Win32
// event: the standard library's threads would pull in a runtime (winpthreads)
// that imports functions Windows XP lacks. The native build, which runs the
// tests, uses the standard library, so ThreadSanitizer sees every lock.
#pragma once

#include <mutex>

#include "platform/WinTypes.h"

#ifndef _WIN32
#include <chrono>
#include <condition_variable>
#endif

// A non-recursive lock for std::lock_guard (MutexLock).
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();
    bool try_lock();

private:
#ifdef _WIN32
    CRITICAL_SECTION section_;
#else
    std::mutex mutex_;
#endif
};

using MutexLock = std::lock_guard<Mutex>;

// An event that stays set until it is reset; waits are bounded.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool set);
    ~ManualResetEvent();
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    // True when the event is set within `milliseconds`. An event Windows could
    // not create never holds anyone up: it counts as set.
    bool WaitFor(DWORD milliseconds);

private:
#ifdef _WIN32
    HANDLE event_;
#else
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_;
#endif
};

#ifdef _WIN32

inline Mutex::Mutex() { InitializeCriticalSection(&section_); }
inline Mutex::~Mutex() { DeleteCriticalSection(&section_); }
inline void Mutex::lock() { EnterCriticalSection(&section_); }
inline void Mutex::unlock() { LeaveCriticalSection(&section_); }
inline bool Mutex::try_lock() { return TryEnterCriticalSection(&section_) != FALSE; }

inline ManualResetEvent::ManualResetEvent(bool set)
    : event_(CreateEventA(nullptr, TRUE, set ? TRUE : FALSE, nullptr)) {}
inline ManualResetEvent::~ManualResetEvent() {
    if (event_ != nullptr) CloseHandle(event_);
}
inline void ManualResetEvent::Set() {
    if (event_ != nullptr) SetEvent(event_);
}
inline void ManualResetEvent::Reset() {
    if (event_ != nullptr) ResetEvent(event_);
}
inline bool ManualResetEvent::WaitFor(DWORD milliseconds) {
    return event_ == nullptr || WaitForSingleObject(event_, milliseconds) == WAIT_OBJECT_0;
}

#else

inline Mutex::Mutex() = default;
inline Mutex::~Mutex() = default;
inline void Mutex::lock() { mutex_.lock(); }
inline void Mutex::unlock() { mutex_.unlock(); }
inline bool Mutex::try_lock() { return mutex_.try_lock(); }

inline ManualResetEvent::ManualResetEvent(bool set) : set_(set) {}
inline ManualResetEvent::~ManualResetEvent() = default;
inline void ManualResetEvent::Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    changed_.notify_all();
}
inline void ManualResetEvent::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}
inline bool ManualResetEvent::WaitFor(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [this] { return set_; });
}

#endif
