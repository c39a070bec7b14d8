// Move-only owner of one OS handle, with a traits type per kind of handle: each kind has its
// own invalid value and its own close function. Every handle the launcher acquires sits in
// one of these, so it is closed on every path by construction.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <utility>

namespace ot {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type value) : value_(value) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Type get() const { return value_; }
  bool valid() const { return value_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }

  Type release() { return std::exchange(value_, Traits::Invalid()); }
  void reset(Type value = Traits::Invalid()) {
    if (valid()) Traits::Close(value_);
    value_ = value;
  }
  // For out-parameters of API calls: closes what is held and hands out the slot.
  Type* put() {
    reset();
    return &value_;
  }

 private:
  Type value_ = Traits::Invalid();
};

struct KernelHandleTraits {  // processes, threads, mutexes: NULL when absent
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE when absent
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
struct RegKeyTraits {  // never holds a predefined root such as HKEY_LOCAL_MACHINE
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::RegCloseKey(h); }
};
struct LocalMemoryTraits {  // what the security and SID functions allocate with LocalAlloc
  using Type = HLOCAL;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::LocalFree(h); }
};
struct ModuleTraits {
  using Type = HMODULE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::FreeLibrary(h); }
};
template <typename Object>
struct GdiObjectTraits {  // fonts, brushes, pens, bitmaps: DeleteObject
  using Type = Object;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { ::DeleteObject(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;
using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;

// The record CreateProcessW fills in, owning its process and thread handles together. The ids
// are plain numbers and are kept as they came.
class UniqueProcessInformation {
 public:
  UniqueProcessInformation() = default;
  ~UniqueProcessInformation() { reset(); }
  UniqueProcessInformation(const UniqueProcessInformation&) = delete;
  UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;

  HANDLE process() const { return info_.hProcess; }
  HANDLE thread() const { return info_.hThread; }
  // Closes what is held; the record is all zero afterwards.
  void reset() {
    if (info_.hProcess) KernelHandleTraits::Close(info_.hProcess);
    if (info_.hThread) KernelHandleTraits::Close(info_.hThread);
    info_ = PROCESS_INFORMATION{};
  }
  // For CreateProcessW's last argument: closes what is held and hands out the zeroed record.
  PROCESS_INFORMATION* put() {
    reset();
    return &info_;
  }

 private:
  PROCESS_INFORMATION info_{};
};

// A shell-execute record that owns the process handle ShellExecuteExW puts into it
// (SEE_MASK_NOCLOSEPROCESS): the handle is closed when the record goes.
struct ShellExecuteInfoDeleter {
  void operator()(SHELLEXECUTEINFOW* info) const {
    if (info->hProcess) KernelHandleTraits::Close(info->hProcess);
    delete info;
  }
};
using UniqueShellExecuteInfo = std::unique_ptr<SHELLEXECUTEINFOW, ShellExecuteInfoDeleter>;

}  // namespace ot
