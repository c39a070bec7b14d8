# cmake -DOT_DIR=<dir> -P SourceDateTimes.cmake
# Gives every file under OT_DIR the time SOURCE_DATE_EPOCH names (seconds since 1970), when
# that variable is set in the build's environment, so that files the build makes carry the
# same time in every build from the same sources. Without it the files keep their times.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} OR "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  return()
endif()
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH=\"${epoch}\" is not a number of seconds since 1970")
endif()
file(GLOB_RECURSE files LIST_DIRECTORIES false "${OT_DIR}/*")
if(files)
  execute_process(COMMAND touch -c -d "@${epoch}" ${files} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot set the times of the files under ${OT_DIR}")
  endif()
endif()
