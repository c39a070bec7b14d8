# Checks a payload directory before the launcher is built around it. The launcher starts
# Orvane.Tessaly.Setup.exe from the root of the unpacked payload; without it (or with something
# there that Windows cannot run) every installation would end in "Couldn't execute the setup
# program", so the build stops. Orvane.Tessaly.Starter.exe is optional to the launcher, which
# goes on silently without it, so its absence is only a warning.
#
# Included by the build (function ot_check_payload), or run on its own, as the archive step
# does so that a payload changed after configuring is checked again:
#   cmake -DOT_PAYLOAD_DIR=<dir> -P PayloadCheck.cmake

# Sets out_var to an empty text when file starts like a Windows executable (an "MZ" header whose
# e_lfanew field points at a "PE\0\0" signature inside the file), else to the reason.
function(ot_windows_executable_problem file out_var)
  file(SIZE "${file}" size)
  if(size LESS 64)
    set(${out_var} "it is only ${size} bytes long, too short for an MZ header" PARENT_SCOPE)
    return()
  endif()
  file(READ "${file}" magic LIMIT 2 HEX)
  if(NOT magic STREQUAL "4d5a")
    set(${out_var} "it does not start with the \"MZ\" header of a Windows executable" PARENT_SCOPE)
    return()
  endif()
  # e_lfanew: little-endian 32-bit offset of the PE signature, at 0x3C.
  file(READ "${file}" lfanew OFFSET 60 LIMIT 4 HEX)
  string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" lfanew "${lfanew}")
  math(EXPR offset "0x${lfanew}")
  math(EXPR end "${offset} + 4")
  if(end GREATER size)
    set(${out_var} "its MZ header points at offset ${offset}, past the end of the file" PARENT_SCOPE)
    return()
  endif()
  file(READ "${file}" signature OFFSET ${offset} LIMIT 4 HEX)
  if(NOT signature STREQUAL "50450000")
    set(${out_var} "there is no \"PE\" signature at offset ${offset}, where its MZ header points"
        PARENT_SCOPE)
    return()
  endif()
  set(${out_var} "" PARENT_SCOPE)
endfunction()

# Sets out_var to the path of the file called name at the root of dir, matched without regard
# to letter case as Windows does, or to an empty text.
function(ot_payload_root_file dir name out_var)
  set(${out_var} "" PARENT_SCOPE)
  if(EXISTS "${dir}/${name}" AND NOT IS_DIRECTORY "${dir}/${name}")
    set(${out_var} "${dir}/${name}" PARENT_SCOPE)
    return()
  endif()
  string(TOLOWER "${name}" wanted)
  file(GLOB entries LIST_DIRECTORIES false "${dir}/*")
  foreach(entry IN LISTS entries)
    cmake_path(GET entry FILENAME entry_name)
    string(TOLOWER "${entry_name}" entry_lower)
    if(entry_lower STREQUAL wanted)
      set(${out_var} "${entry}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

function(ot_check_payload dir)
  if(NOT IS_DIRECTORY "${dir}")
    message(FATAL_ERROR "Payload directory \"${dir}\" does not exist or is not a directory. "
                        "Set OT_PAYLOAD_DIR to the directory with the product's installation files.")
  endif()

  set(setup_name Orvane.Tessaly.Setup.exe)
  ot_payload_root_file("${dir}" ${setup_name} setup)
  if(NOT setup)
    message(FATAL_ERROR "Payload directory \"${dir}\" has no ${setup_name} at its root. The "
                        "launcher starts that program after unpacking, so no installation could "
                        "run. Set OT_PAYLOAD_DIR to the directory with the product's installation files.")
  endif()
  ot_windows_executable_problem("${setup}" problem)
  if(problem)
    message(FATAL_ERROR "\"${setup}\" is not a Windows executable: ${problem}. The launcher "
                        "could not start it.")
  endif()

  set(starter_name Orvane.Tessaly.Starter.exe)
  ot_payload_root_file("${dir}" ${starter_name} starter)
  if(NOT starter)
    message(WARNING "Payload directory \"${dir}\" has no ${starter_name} at its root; the "
                    "launcher will start the setup program without the starter tool.")
  else()
    ot_windows_executable_problem("${starter}" problem)
    if(problem)
      message(WARNING "\"${starter}\" is not a Windows executable: ${problem}. The launcher "
                      "will fail to start the starter tool and go on without it.")
    endif()
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED OT_PAYLOAD_DIR)
    message(FATAL_ERROR "usage: cmake -DOT_PAYLOAD_DIR=<dir> -P PayloadCheck.cmake")
  endif()
  ot_check_payload("${OT_PAYLOAD_DIR}")
endif()
