# Build-time check of the libgcc_eh copy made by ot_release_runtime_objects:
#   cmake -DNM=... -DARCHIVE=... -DRENAMED=a,b -DFORBIDDEN=c,d,... -P check_runtime_archive.cmake
# The copy must still create its objects through the renamed slots (RENAMED), and no member
# may create them through kernel32 directly or release anything itself (FORBIDDEN): a member
# that closed its own semaphore would then be closed twice.
execute_process(COMMAND ${NM} -A ${ARCHIVE} OUTPUT_VARIABLE symbols ERROR_QUIET RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} cannot read ${ARCHIVE}")
endif()
string(REPLACE "," ";" RENAMED "${RENAMED}")
string(REPLACE "," ";" FORBIDDEN "${FORBIDDEN}")
foreach(name IN LISTS RENAMED)
  string(FIND "${symbols}" " U ${name}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${ARCHIVE}: no member refers to ${name}; the runtime no longer "
                        "creates its objects as expected, revisit cmake/RuntimeObjects.cmake")
  endif()
endforeach()
foreach(name IN LISTS FORBIDDEN)
  string(FIND "${symbols}" " U ${name}\n" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${ARCHIVE}: a member refers to ${name}; releasing the runtime's "
                        "objects at unload would no longer be safe, revisit cmake/RuntimeObjects.cmake")
  endif()
endforeach()
