#pragma once
// Move-only owners for GDI objects (fonts, bitmaps, pens, brushes) and icons.
#include <windows.h>

#include <utility>

namespace veltrin::win32 {

// Owns one GDI object; T is its handle type (HFONT, HBITMAP, ...).
template <typename T>
class UniqueGdiObject {
public:
    UniqueGdiObject() = default;
    explicit UniqueGdiObject(T object) noexcept : object_(object) {}
    UniqueGdiObject(const UniqueGdiObject&) = delete;
    UniqueGdiObject& operator=(const UniqueGdiObject&) = delete;
    UniqueGdiObject(UniqueGdiObject&& other) noexcept : object_(other.Detach()) {}
    UniqueGdiObject& operator=(UniqueGdiObject&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    ~UniqueGdiObject() { Reset(); }

    [[nodiscard]] T Get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    T Detach() noexcept { return std::exchange(object_, nullptr); }
    void Reset(T object = nullptr) noexcept {
        if (object_) ::DeleteObject(object_);
        object_ = object;
    }

private:
    T object_ = nullptr;
};

using UniqueFont = UniqueGdiObject<HFONT>;
using UniqueBitmap = UniqueGdiObject<HBITMAP>;

// Owns an icon made by CreateIcon*, PrivateExtractIcons or LoadImage without
// LR_SHARED; shared icons must not be destroyed and never go in here.
class UniqueIcon {
public:
    UniqueIcon() = default;
    explicit UniqueIcon(HICON icon) noexcept : icon_(icon) {}
    UniqueIcon(const UniqueIcon&) = delete;
    UniqueIcon& operator=(const UniqueIcon&) = delete;
    UniqueIcon(UniqueIcon&& other) noexcept : icon_(other.Detach()) {}
    UniqueIcon& operator=(UniqueIcon&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    ~UniqueIcon() { Reset(); }

    [[nodiscard]] HICON Get() const noexcept { return icon_; }
    explicit operator bool() const noexcept { return icon_ != nullptr; }
    HICON Detach() noexcept { return std::exchange(icon_, nullptr); }
    void Reset(HICON icon = nullptr) noexcept {
        if (icon_) ::DestroyIcon(icon_);
        icon_ = icon;
    }

private:
    HICON icon_ = nullptr;
};

// A window's device context from GetDC, released to the window it came from.
class WindowDc {
public:
    explicit WindowDc(HWND window) noexcept : window_(window), dc_(::GetDC(window)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc() {
        if (dc_) ::ReleaseDC(window_, dc_);
    }
    [[nodiscard]] HDC Get() const noexcept { return dc_; }
    explicit operator bool() const noexcept { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

// A memory device context from CreateCompatibleDC.
class MemoryDc {
public:
    explicit MemoryDc(HDC like) noexcept : dc_(::CreateCompatibleDC(like)) {}
    MemoryDc(const MemoryDc&) = delete;
    MemoryDc& operator=(const MemoryDc&) = delete;
    ~MemoryDc() {
        if (dc_) ::DeleteDC(dc_);
    }
    [[nodiscard]] HDC Get() const noexcept { return dc_; }
    explicit operator bool() const noexcept { return dc_ != nullptr; }

private:
    HDC dc_;
};

// Selects an object into a device context and puts the previous one back.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(::SelectObject(dc, object)) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() {
        if (previous_) ::SelectObject(dc_, previous_);
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

}  // namespace veltrin::win32
