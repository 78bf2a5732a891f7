// One RAII owner for every kind of handle the service opens, so that each key
// or service handle is closed on every path out of the function that opened it.
// Closing keeps the last error: a function that fails returns with the error
// of its failure, whatever it closes on the way out. (RegCloseKey returns its
// error and leaves the last error alone.)
#pragma once

#include "platform/Platform.h"

template <typename Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    explicit ScopedHandle(Platform& os, Handle handle = nullptr) : os_(os), handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // For out-parameters: closes what is held and hands out the empty slot.
    Handle* receive() {
        reset();
        return &handle_;
    }

    void reset(Handle handle = nullptr) {
        if (handle_ != nullptr && Traits::kSetsLastError) {
            const DWORD error = os_.GetLastError();
            Traits::Close(os_, handle_);
            os_.SetLastError(error);
        } else if (handle_ != nullptr) {
            Traits::Close(os_, handle_);
        }
        handle_ = handle;
    }

private:
    Platform& os_;
    Handle handle_;
};

struct RegKeyTraits {
    using Handle = HKEY;
    static constexpr bool kSetsLastError = false;
    static void Close(Platform& os, HKEY key) { os.RegCloseKey(key); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static constexpr bool kSetsLastError = true;
    static void Close(Platform& os, SC_HANDLE handle) { os.CloseServiceHandle(handle); }
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static constexpr bool kSetsLastError = true;
    static void Close(Platform& os, HANDLE handle) { os.CloseHandle(handle); }
};

using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
