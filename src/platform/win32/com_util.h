// Small owners for COM interface pointers, BSTRs and VARIANTs, and the conversions between
// 8-bit text (the ANSI code page, or UTF-8) and UTF-16.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <climits>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

namespace rz::platform::win32 {

// One reference to a COM interface, released on destruction.
template <typename Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  Interface* get() const { return ptr_; }
  Interface* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // For an out parameter: drops the current reference first.
  Interface** out() {
    Reset();
    return &ptr_;
  }
  void** outVoid() { return reinterpret_cast<void**>(out()); }
  void Reset() {
    if (ptr_ != nullptr) ptr_->Release();
    ptr_ = nullptr;
  }

 private:
  Interface* ptr_ = nullptr;
};

// An owned BSTR. Construction from text throws std::bad_alloc when it cannot be allocated.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::wstring_view text) {
    if (text.size() >= static_cast<std::size_t>(UINT_MAX / sizeof(wchar_t))) {
      throw std::bad_alloc();
    }
    value_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (value_ == nullptr) throw std::bad_alloc();
  }
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const { return value_; }
  // For an out parameter: frees the current string first.
  BSTR* out() {
    SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  // Hands the string to a new owner (a VARIANT).
  BSTR release() {
    BSTR value = value_;
    value_ = nullptr;
    return value;
  }
  // The text up to its recorded length; a null BSTR is empty text.
  std::wstring_view view() const { return View(value_); }

  static std::wstring_view View(BSTR value) {
    return value == nullptr ? std::wstring_view() : std::wstring_view(value, SysStringLen(value));
  }

 private:
  BSTR value_ = nullptr;
};

// An owned VARIANT, cleared on destruction.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant& operator=(Variant&&) = delete;

  static Variant FromBool(bool flag) {
    Variant v;
    V_VT(&v.value_) = VT_BOOL;
    V_BOOL(&v.value_) = flag ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
  }
  static Variant FromText(std::wstring_view text) {
    Bstr string(text);
    Variant v;
    V_VT(&v.value_) = VT_BSTR;
    V_BSTR(&v.value_) = string.release();
    return v;
  }

  VARIANT& get() { return value_; }
  const VARIANT& get() const { return value_; }
  // For an out parameter: clears the current value first.
  VARIANT* out() {
    VariantClear(&value_);
    return &value_;
  }

 private:
  VARIANT value_;
};

// A failed code page conversion, carried as the system's error code.
[[noreturn]] inline void ThrowLastError() {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                          "code page conversion");
}

// 8-bit text in the system's ANSI code page (or `codePage`) to UTF-16. `flags` may ask
// MultiByteToWideChar to refuse what does not decode (MB_ERR_INVALID_CHARS).
inline std::wstring Widen(std::string_view text, UINT codePage = CP_ACP, DWORD flags = 0) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
  const int length = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (wide <= 0) ThrowLastError();
  std::wstring out(static_cast<std::size_t>(wide), L'\0');
  if (MultiByteToWideChar(codePage, flags, text.data(), length, out.data(), wide) != wide) {
    ThrowLastError();
  }
  return out;
}

// UTF-16 to 8-bit text in `codePage`, all of it. `flags` as WideCharToMultiByte takes them.
inline std::string NarrowTo(std::wstring_view text, UINT codePage, DWORD flags) {
  if (text.empty()) return std::string();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
  const int length = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(codePage, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) ThrowLastError();
  std::string out(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(codePage, flags, text.data(), length, out.data(), bytes, nullptr,
                          nullptr) != bytes) {
    ThrowLastError();
  }
  return out;
}

// Names and paths are UTF-8 inside the library on every build: UTF-16 and UTF-8 hold the same
// characters, so a name goes from the reply to the file system without turning into a look-alike
// of another. Text that is not valid UTF-16 or UTF-8 throws rather than being patched.
inline std::string ToUtf8(std::wstring_view text) {
  return NarrowTo(text, CP_UTF8, WC_ERR_INVALID_CHARS);
}
inline std::wstring FromUtf8(std::string_view text) {
  return Widen(text, CP_UTF8, MB_ERR_INVALID_CHARS);
}

}  // namespace rz::platform::win32
