# Warning flags for every target of the project, in one place.
add_library(ot_warnings INTERFACE)
target_compile_options(ot_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion -Wformat=2 -Wundef)

# No build path in a Windows binary: the source and build folders appear as relative names in
# __FILE__ and in debug information, so that checkouts in different folders build the same
# bytes. (The link's TimeDateStamp is SOURCE_DATE_EPOCH when the build's environment sets it:
# GNU ld reads it; windres writes zero resource time stamps.)
if(WIN32)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
                      "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
endif()

# Windows binaries that ship (or stand in for shipped ones under Wine): static runtime, so
# that they import only system DLLs.
# WINNT is the oldest Windows the binary must load on: 0x0501 (XP) for the launcher,
# 0x0600 (Vista) for the library.
function(ot_windows_binary target winnt)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=${winnt} WINVER=${winnt})
endfunction()
