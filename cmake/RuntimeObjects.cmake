# The static GCC runtime inside a DLL keeps things per load that it never releases (the list is
# in unzipper/os/dll_entry_win32.cpp). Two of them are kernel objects made inside libgcc_eh,
# which has no code to release them: the DWARF-2 unwinder's frame registry (unwind-dw2-fde.o)
# makes a semaphore for its lock when the DLL registers its unwind tables at load, and emulated
# thread-local storage (emutls.o, which libstdc++'s exception globals use) makes a semaphore and
# a TLS index when it is first used. Neither object imports CloseHandle or TlsFree.
#
# ot_release_runtime_objects(target), for a DLL:
#  - compiles unzipper/os/dll_entry_win32.cpp into it and makes its OrvDllEntry the entry point;
#  - links it against a copy of libgcc_eh whose calls to CreateSemaphoreW and TlsAlloc go to
#    two import slots that file defines, which record what is made so that the entry point can
#    release it at unload. Nothing else is affected: libstdc++'s own mutexes (libgcc's
#    gthr-win32.o) are made and closed through kernel32 as before.
set(OT_RUNTIME_ARCHIVE_CHECK ${CMAKE_CURRENT_LIST_DIR}/check_runtime_archive.cmake)

function(ot_release_runtime_objects target)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_eh.a
    OUTPUT_VARIABLE original OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT IS_ABSOLUTE "${original}" OR NOT EXISTS "${original}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} names no libgcc_eh.a (got '${original}')")
  endif()
  # Import slot names as the objects spell them: decorated stdcall on x86, plain on x64.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(semaphore __imp__CreateSemaphoreW@16 __imp__OrvRuntimeCreateSemaphoreW@16)
    set(tlsAlloc __imp__TlsAlloc@0 __imp__OrvRuntimeTlsAlloc@0)
    set(releases __imp__CloseHandle@4,__imp__TlsFree@4)
  else()
    set(semaphore __imp_CreateSemaphoreW __imp_OrvRuntimeCreateSemaphoreW)
    set(tlsAlloc __imp_TlsAlloc __imp_OrvRuntimeTlsAlloc)
    set(releases __imp_CloseHandle,__imp_TlsFree)
  endif()
  list(GET semaphore 0 semaphoreFrom)
  list(GET semaphore 1 semaphoreTo)
  list(GET tlsAlloc 0 tlsFrom)
  list(GET tlsAlloc 1 tlsTo)

  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/unzipper/os/dll_entry_win32.cpp)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE -Wl,-e,_OrvDllEntry@12)
  else()
    target_link_options(${target} PRIVATE -Wl,-e,OrvDllEntry)
  endif()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-runtime)
  set(archive ${dir}/libgcc_eh.a)
  add_custom_command(OUTPUT ${archive}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_OBJCOPY} --redefine-sym ${semaphoreFrom}=${semaphoreTo}
            --redefine-sym ${tlsFrom}=${tlsTo} ${original} ${archive}.new
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DARCHIVE=${archive}.new
            -DRENAMED=${semaphoreTo},${tlsTo} -DFORBIDDEN=${semaphoreFrom},${tlsFrom},${releases}
            -P ${OT_RUNTIME_ARCHIVE_CHECK}
    COMMAND ${CMAKE_COMMAND} -E rename ${archive}.new ${archive}
    DEPENDS ${original} ${OT_RUNTIME_ARCHIVE_CHECK}
    COMMENT "Copying libgcc_eh for ${target} with its semaphores and TLS indexes recorded"
    VERBATIM)
  add_custom_target(${target}_runtime_archive DEPENDS ${archive})
  add_dependencies(${target} ${target}_runtime_archive)
  # The driver's -lgcc_eh (from -static-libgcc) finds this copy first: -L options given on the
  # command line are searched before the compiler's own directories.
  target_link_options(${target} PRIVATE -L${dir})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${archive})
endfunction()
