// Move-only owners of platform resources, so every handle is released by its owner on
// every path. None of them can be copied, so nothing is closed twice.
#pragma once

#include "base/Platform.h"

#include <cstdio>
#include <utility>

// Owns a handle that Closer::Close(handle) closes; NULL and INVALID_HANDLE_VALUE both mean
// "none".
template <typename Closer>
class BasicHandle {
public:
    BasicHandle() = default;
    explicit BasicHandle(HANDLE h) : h_(h) {}
    BasicHandle(BasicHandle&& other) noexcept : h_(other.release()) {}
    BasicHandle& operator=(BasicHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    BasicHandle(const BasicHandle&) = delete;
    BasicHandle& operator=(const BasicHandle&) = delete;
    ~BasicHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) Closer::Close(h_);
        h_ = h;
    }
    // Closes now and says whether the close succeeded (a file's write-back can fail there).
    bool close() {
        HANDLE h = release();
        return h == nullptr || h == INVALID_HANDLE_VALUE || Closer::Close(h);
    }

private:
    HANDLE h_ = nullptr;
};

struct KernelHandleCloser {
    static BOOL Close(HANDLE h) { return CloseHandle(h); }
};

// Owns a kernel handle.
using UniqueHandle = BasicHandle<KernelHandleCloser>;

// Owns an open registry key.
class UniqueRegKey {
public:
    UniqueRegKey() = default;
    UniqueRegKey(UniqueRegKey&& other) noexcept : k_(std::exchange(other.k_, nullptr)) {}
    UniqueRegKey& operator=(UniqueRegKey&& other) noexcept {
        if (this != &other) { reset(); k_ = std::exchange(other.k_, nullptr); }
        return *this;
    }
    UniqueRegKey(const UniqueRegKey&) = delete;
    UniqueRegKey& operator=(const UniqueRegKey&) = delete;
    ~UniqueRegKey() { reset(); }

    HKEY get() const { return k_; }
    HKEY* put() { reset(); return &k_; } // for the out-parameter of RegOpenKeyExW
    explicit operator bool() const { return k_ != nullptr; }
    void reset() {
        if (k_) RegCloseKey(k_);
        k_ = nullptr;
    }

private:
    HKEY k_ = nullptr;
};

// Owns a directory listing from FindFirstFileW.
class UniqueFindHandle {
public:
    UniqueFindHandle() = default;
    explicit UniqueFindHandle(HANDLE h) : h_(h) {}
    UniqueFindHandle(UniqueFindHandle&& other) noexcept
        : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    UniqueFindHandle& operator=(UniqueFindHandle&& other) noexcept {
        if (this != &other) { reset(); h_ = std::exchange(other.h_, INVALID_HANDLE_VALUE); }
        return *this;
    }
    UniqueFindHandle(const UniqueFindHandle&) = delete;
    UniqueFindHandle& operator=(const UniqueFindHandle&) = delete;
    ~UniqueFindHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    explicit operator bool() const { return valid(); }
    void reset() {
        if (valid()) FindClose(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Owns a C runtime FILE*.
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(FILE* f) : f_(f) {}
    UniqueFile(UniqueFile&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) { reset(); f_ = std::exchange(other.f_, nullptr); }
        return *this;
    }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    ~UniqueFile() { reset(); }

    FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    void reset(FILE* f = nullptr) {
        if (f_) fclose(f_);
        f_ = f;
    }

private:
    FILE* f_ = nullptr;
};

// Owns a user-interface object that one call frees: a menu made by LoadMenuW or
// CreatePopupMenu that no window holds (UniqueMenu), an icon made by CreateIconFromResourceEx
// or LoadImageW without LR_SHARED (UniqueIcon).
template <typename T, BOOL(WINAPI* Free)(T)>
class UniqueUserObject {
public:
    UniqueUserObject() = default;
    explicit UniqueUserObject(T object) : object_(object) {}
    UniqueUserObject(UniqueUserObject&& other) noexcept : object_(other.release()) {}
    UniqueUserObject& operator=(UniqueUserObject&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueUserObject(const UniqueUserObject&) = delete;
    UniqueUserObject& operator=(const UniqueUserObject&) = delete;
    ~UniqueUserObject() { reset(); }

    T get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T release() { return std::exchange(object_, nullptr); }
    void reset(T object = nullptr) {
        if (object_) Free(object_);
        object_ = object;
    }

private:
    T object_ = nullptr;
};

using UniqueMenu = UniqueUserObject<HMENU, DestroyMenu>;
using UniqueIcon = UniqueUserObject<HICON, DestroyIcon>;

// Owns memory the platform allocated for the caller to free with LocalFree, such as the
// array of CommandLineToArgvW or the text of FormatMessageW with
// FORMAT_MESSAGE_ALLOCATE_BUFFER.
template <typename T>
class UniqueLocal {
public:
    UniqueLocal() = default;
    explicit UniqueLocal(T* p) : p_(p) {}
    UniqueLocal(UniqueLocal&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    UniqueLocal& operator=(UniqueLocal&& other) noexcept {
        if (this != &other) { reset(); p_ = std::exchange(other.p_, nullptr); }
        return *this;
    }
    UniqueLocal(const UniqueLocal&) = delete;
    UniqueLocal& operator=(const UniqueLocal&) = delete;
    ~UniqueLocal() { reset(); }

    T* get() const { return p_; }
    T** put() { reset(); return &p_; } // for an out-parameter that receives the allocation
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_) LocalFree(p_);
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

// Owns what CreateProcessW fills in: the process and its primary thread. Most callers
// need the thread only to resume it, and close it at once with closeThread.
class UniqueProcess {
public:
    UniqueProcess() = default;
    explicit UniqueProcess(const PROCESS_INFORMATION& info)
        : process_(info.hProcess), thread_(info.hThread), id_(info.dwProcessId) {}
    UniqueProcess(UniqueProcess&&) noexcept = default;
    UniqueProcess& operator=(UniqueProcess&&) noexcept = default;

    HANDLE process() const { return process_.get(); }
    HANDLE thread() const { return thread_.get(); }
    DWORD id() const { return id_; }
    explicit operator bool() const { return process_.valid(); }
    void closeThread() { thread_.reset(); }
    // Hands the process handle on; the thread handle is closed.
    HANDLE releaseProcess() {
        thread_.reset();
        return process_.release();
    }

private:
    UniqueHandle process_;
    UniqueHandle thread_;
    DWORD id_ = 0;
};
