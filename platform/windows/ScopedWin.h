// Move-only owners for Win32 handles of every kind, COM pointers, BSTRs and
// COM itself.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace pellarion {

// A move-only owner of one handle of some kind. `Traits` says how the kind
// is closed (`static void Close(Handle)`) and which values hold nothing
// (`static bool Valid(Handle)`); an owner closes only a valid handle, once.
template <typename Handle, typename Traits>
class ScopedResource {
 public:
  explicit ScopedResource(Handle h = Handle{}) : h_(h) {}
  ScopedResource(ScopedResource&& other) noexcept : h_(std::exchange(other.h_, Handle{})) {}
  ScopedResource& operator=(ScopedResource&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = std::exchange(other.h_, Handle{});
    }
    return *this;
  }
  ScopedResource(const ScopedResource&) = delete;
  ScopedResource& operator=(const ScopedResource&) = delete;
  ~ScopedResource() { Reset(); }

  Handle get() const { return h_; }
  bool valid() const { return Traits::Valid(h_); }
  // For out-parameters; closes what was held.
  Handle* put() {
    Reset();
    return &h_;
  }

 private:
  void Reset() {
    if (Traits::Valid(h_)) Traits::Close(h_);
    h_ = Handle{};
  }
  Handle h_;
};

// Kinds whose empty value is the null handle.
struct NullMeansNone {
  template <typename Handle>
  static bool Valid(Handle h) {
    return h != Handle{};
  }
};

// Kernel handles: CreateFile's failure is INVALID_HANDLE_VALUE, others' null.
struct KernelHandleTraits {
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseHandle(h); }
};
using ScopedHandle = ScopedResource<HANDLE, KernelHandleTraits>;

// An open registry key.
struct RegistryKeyTraits : NullMeansNone {
  static void Close(HKEY h) { RegCloseKey(h); }
};
using ScopedRegistryKey = ScopedResource<HKEY, RegistryKeyTraits>;

// A pen, brush or font, deleted when its owner goes.
struct GdiObjectTraits : NullMeansNone {
  static void Close(HGDIOBJ h) { DeleteObject(h); }
};
template <typename Gdi>
using ScopedGdiObject = ScopedResource<Gdi, GdiObjectTraits>;

// Selects a GDI object into a device context for the life of the owner, then
// puts back what was selected before.
class ScopedSelect {
 public:
  ScopedSelect(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ScopedSelect(const ScopedSelect&) = delete;
  ScopedSelect& operator=(const ScopedSelect&) = delete;
  ~ScopedSelect() { SelectObject(dc_, previous_); }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { Reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters; releases what was held.
  T** put() {
    Reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

 private:
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T* p_ = nullptr;
};

class ScopedBstr {
 public:
  explicit ScopedBstr(const std::wstring& text) : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  ~ScopedBstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }

 private:
  BSTR b_;
};

// COM for this thread, in a single-threaded apartment, for the life of the
// object.
class ScopedCom {
 public:
  ScopedCom() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ScopedCom(const ScopedCom&) = delete;
  ScopedCom& operator=(const ScopedCom&) = delete;
  ~ScopedCom() {
    if (ok_) CoUninitialize();
  }

 private:
  bool ok_;
};

}  // namespace pellarion
