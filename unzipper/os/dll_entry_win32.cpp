// The DLL's entry point, and what it gives back when FreeLibrary unloads the library.
//
// The static C++ runtime keeps things per load that it never releases, so each load and
// release by a long-lived host would leave them behind:
//  - libstdc++'s emergency exception buffer (about 70 KB from the process heap);
//  - the DWARF-2 unwinder's lock, a semaphore made when the DLL registers its unwind tables;
//  - emulated thread-local storage's lock (a semaphore) and its TLS index, made when the
//    exception machinery first runs; the TLS indexes of a process run out after about a
//    thousand loads.
// The last two are made inside libgcc_eh, which has no code to release them. The DLL links a
// copy of libgcc_eh whose CreateSemaphoreW and TlsAlloc calls go through the two import slots
// defined here (cmake/RuntimeObjects.cmake); each call is passed on to kernel32 and what it
// makes is recorded. The runtime makes two semaphores and one TLS index per load, each once;
// anything beyond the slots would only stay unreleased, as before.
#include <windows.h>

namespace __gnu_cxx {
// libstdc++'s release of its emergency exception buffer; no public header declares it.
void __freeres() noexcept;
}  // namespace __gnu_cxx

namespace {

constexpr LONG kSlots = 8;

HANDLE semaphores[kSlots];
LONG semaphoreCount = 0;
DWORD tlsIndexes[kSlots];
LONG tlsIndexCount = 0;

HANDLE WINAPI RuntimeCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                      LPCWSTR name) {
  const HANDLE semaphore = ::CreateSemaphoreW(attributes, initial, maximum, name);
  if (semaphore) {
    const LONG slot = ::InterlockedIncrement(&semaphoreCount) - 1;
    if (slot < kSlots) semaphores[slot] = semaphore;
  }
  return semaphore;
}

DWORD WINAPI RuntimeTlsAlloc() {
  const DWORD index = ::TlsAlloc();
  if (index != TLS_OUT_OF_INDEXES) {
    const LONG slot = ::InterlockedIncrement(&tlsIndexCount) - 1;
    if (slot < kSlots) tlsIndexes[slot] = index;
  }
  return index;
}

void ReleaseRuntimeObjects() {
  const LONG semaphoresMade = ::InterlockedExchange(&semaphoreCount, 0);
  for (LONG i = 0; i < semaphoresMade && i < kSlots; ++i) ::CloseHandle(semaphores[i]);
  const LONG indexesMade = ::InterlockedExchange(&tlsIndexCount, 0);
  for (LONG i = 0; i < indexesMade && i < kSlots; ++i) ::TlsFree(tlsIndexes[i]);
}

}  // namespace

// The import slots, under the names the renamed references in the libgcc_eh copy look for.
#if defined(__i386__)
#define ORV_IMPORT_SLOT(name, argumentBytes) "__imp__" #name "@" #argumentBytes
#else
#define ORV_IMPORT_SLOT(name, argumentBytes) "__imp_" #name
#endif
extern "C" {
extern decltype(&RuntimeCreateSemaphoreW) const orvRuntimeCreateSemaphoreW
    __asm__(ORV_IMPORT_SLOT(OrvRuntimeCreateSemaphoreW, 16));
decltype(&RuntimeCreateSemaphoreW) const orvRuntimeCreateSemaphoreW = &RuntimeCreateSemaphoreW;
extern decltype(&RuntimeTlsAlloc) const orvRuntimeTlsAlloc __asm__(ORV_IMPORT_SLOT(OrvRuntimeTlsAlloc, 0));
decltype(&RuntimeTlsAlloc) const orvRuntimeTlsAlloc = &RuntimeTlsAlloc;
}

// mingw-w64's entry point: it runs the runtime's start-up before DllMain and, on detach, its
// atexit list (the unwinder's frame deregistration, static destructors) after DllMain.
extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE instance, DWORD reason, LPVOID reserved);

// The entry point the link names (-e). On an unload by FreeLibrary (reserved null) the
// emergency buffer goes first, as DllMain would release it; the semaphores and TLS indexes
// only after everything that could still use them has run. At process exit the system
// reclaims it all.
extern "C" BOOL WINAPI OrvDllEntry(HANDLE instance, DWORD reason, LPVOID reserved) {
  const bool unloading = reason == DLL_PROCESS_DETACH && reserved == nullptr;
  if (unloading) __gnu_cxx::__freeres();
  const BOOL result = DllMainCRTStartup(instance, reason, reserved);
  if (unloading) ReleaseRuntimeObjects();
  return result;
}
