# The Windows trees need host programs: the archive builder at build time, the benchmark
# payload generator in the tests. They are built from this same source tree for the build
# machine, inside the Windows build directory.
include(ExternalProject)
set(OT_HOST_TOOLS_DIR ${CMAKE_BINARY_DIR}/host-tools)
set(OT_MKDISTRO ${OT_HOST_TOOLS_DIR}/bin/mkdistro)
ExternalProject_Add(host_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${OT_HOST_TOOLS_DIR}
  CMAKE_ARGS -DOT_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DOT_HOST_TOOLS_ONLY=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${OT_HOST_TOOLS_DIR} --target mkdistro benchpayload
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${OT_MKDISTRO} ${OT_HOST_TOOLS_DIR}/bin/benchpayload
  USES_TERMINAL_BUILD ON)
