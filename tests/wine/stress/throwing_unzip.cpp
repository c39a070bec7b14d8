// A stand-in for OrvUnzip.dll, linked the same way (static runtime, the entry point of
// ot_release_runtime_objects), whose "Unzip" throws and catches a C++ exception on every call.
// The real library throws only when something goes wrong, so its repeated loads never start the
// runtime's exception machinery; loads of this one do: besides the unwinder's frame registry,
// emulated thread-local storage makes its semaphore and TLS index, and the emergency buffer and
// the exception globals are used. unzip_repeat loads it as it loads the real library.
//
// Its result follows the archive as unzip_repeat expects of the real library: non-zero when
// the file ends with a ZIP end-of-central-directory record (no comment), 0 otherwise.
#include <windows.h>

#include <cstdint>
#include <stdexcept>

namespace {

bool EndsWithEndRecord(const wchar_t* path) {
  const HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned char record[22] = {};
  DWORD read = 0;
  LARGE_INTEGER back{};
  back.QuadPart = -static_cast<LONGLONG>(sizeof(record));
  const bool ok = ::SetFilePointerEx(file, back, nullptr, FILE_END) &&
                  ::ReadFile(file, record, sizeof(record), &read, nullptr) && read == sizeof(record);
  ::CloseHandle(file);
  return ok && record[0] == 'P' && record[1] == 'K' && record[2] == 5 && record[3] == 6;
}

}  // namespace

extern "C" std::int32_t __stdcall Unzip(const wchar_t* archivePath, const wchar_t*, const char*) {
  try {
    if (!EndsWithEndRecord(archivePath)) throw std::runtime_error("no end record");
    throw 1;
  } catch (const std::runtime_error&) {
    return 0;
  } catch (int) {
    return -1;
  }
}
