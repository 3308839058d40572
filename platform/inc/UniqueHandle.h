#pragma once
// The one owner of every handle the tool holds: a file or mapping handle, a mapped view,
// a registry key, a file descriptor, a BSTR, an ODBC environment, connection or
// statement. Each kind is declared once, as a traits type that names the handle type,
// its close function and its invalid value:
//
//   struct DescriptorTraits {
//     using Type = int;
//     static Type Invalid() { return -1; }
//     static void Close(Type fd) { (void)::close(fd); }
//   };
//   using UniqueDescriptor = CUniqueHandle<DescriptorTraits>;
//
// Move-only; closes what it holds once, when reset or destroyed. Closing keeps the
// thread's last error as it was, so that clean-up on a failure path cannot change what
// the caller is told. The member names follow the standard smart pointers (get, reset,
// release), since that is what every reader expects of an owner.

#include <utility>

#include "Win32Types.h"

template <typename Traits>
class CUniqueHandle {
 public:
  using Type = typename Traits::Type;

  CUniqueHandle() = default;
  explicit CUniqueHandle(Type value) : m_value(value) {}
  ~CUniqueHandle() { reset(); }
  CUniqueHandle(CUniqueHandle&& other) noexcept : m_value(other.release()) {}
  CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  CUniqueHandle(const CUniqueHandle&) = delete;
  CUniqueHandle& operator=(const CUniqueHandle&) = delete;

  [[nodiscard]] Type get() const { return m_value; }
  explicit operator bool() const { return m_value != Traits::Invalid(); }

  // Closes what is held (if anything) and takes value. Given the handle it holds already,
  // it keeps it open: closing it would leave the owner holding a closed handle.
  void reset(Type value = Traits::Invalid()) {
    if (value == m_value) return;
    const Type old = std::exchange(m_value, value);
    if (old != Traits::Invalid()) {
      const DWORD saved = GetLastError();
      Traits::Close(old);
      SetLastError(saved);
    }
  }
  // Gives the handle up without closing it: the caller owns it now.
  [[nodiscard]] Type release() { return std::exchange(m_value, Traits::Invalid()); }

 private:
  Type m_value = Traits::Invalid();
};
