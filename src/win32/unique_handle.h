#pragma once
// Move-only owners for Win32 handles. A null handle and INVALID_HANDLE_VALUE
// both count as empty.
#include <windows.h>

#include <utility>

namespace veltrin::win32 {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Detach()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    [[nodiscard]] HANDLE Get() const noexcept { return handle_; }
    [[nodiscard]] bool Valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return Valid(); }

    HANDLE Detach() noexcept { return std::exchange(handle_, nullptr); }
    void Reset(HANDLE handle = nullptr) noexcept {
        if (Valid()) ::CloseHandle(handle_);
        handle_ = handle;
    }
    // Closes now and reports whether the system accepted the close.
    bool Close() noexcept {
        if (!Valid()) return true;
        return ::CloseHandle(std::exchange(handle_, nullptr)) != FALSE;
    }

private:
    HANDLE handle_ = nullptr;
};

// FindFirstFile handles are closed with FindClose, not CloseHandle.
class UniqueFindHandle {
public:
    explicit UniqueFindHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueFindHandle(const UniqueFindHandle&) = delete;
    UniqueFindHandle& operator=(const UniqueFindHandle&) = delete;
    ~UniqueFindHandle() {
        if (Valid()) ::FindClose(handle_);
    }
    [[nodiscard]] HANDLE Get() const noexcept { return handle_; }
    [[nodiscard]] bool Valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

}  // namespace veltrin::win32
