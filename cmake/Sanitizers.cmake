# Sanitizer and fuzzing builds of the host tree (presets host-asan, host-tsan and host-fuzz).
#   OT_SANITIZE  every target with AddressSanitizer and UndefinedBehaviorSanitizer; the first
#                finding ends the program, so a test cannot pass over it
#   OT_FUZZ      clang only: the same, plus libFuzzer's coverage instrumentation of every
#                library; tests/fuzz adds the fuzz targets
# Included before any target is made, so that the options reach every one of them.
option(OT_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(OT_FUZZ "Build the libFuzzer targets (clang; implies the sanitizers)" OFF)
#   OT_TSAN      every target with ThreadSanitizer (it cannot be combined with the others): a
#                data race or a lock-order inversion fails the test that ran into it
option(OT_TSAN "Build with ThreadSanitizer" OFF)

if(OT_TSAN)
  if(WIN32 OR OT_SANITIZE OR OT_FUZZ)
    message(FATAL_ERROR "OT_TSAN is for the host build, without OT_SANITIZE and OT_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(OT_SANITIZE OR OT_FUZZ)
  if(WIN32)
    message(FATAL_ERROR "OT_SANITIZE and OT_FUZZ are for the host build")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

if(OT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "OT_FUZZ needs clang: configure with CC=clang CXX=clang++ (preset host-fuzz)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
