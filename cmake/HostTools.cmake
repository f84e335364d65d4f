# When cross-compiling, what must run on this machine is built for it in a build of
# its own (BINARY_DIR/host-tools): the maker of the embedded firmware table and,
# with the tests, the device emulator and the end-to-end suite, which then runs
# against the Windows program under Wine (labelled "windows" in that build's ctest).
include(ExternalProject)
set(zb_host_dir ${CMAKE_BINARY_DIR}/host-tools)
set(zb_hextable_command ${zb_host_dir}/tools/hexgen/zb_hextable)
set(ZB_WINE_HOME ${CMAKE_BINARY_DIR}/wine CACHE PATH "Wine prefix, display and port links of the Windows tests")
ExternalProject_Add(zb_host_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${zb_host_dir}
  CMAKE_ARGS
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DZB_BUILD_APP=OFF
    -DZB_BUILD_TESTS=${ZB_BUILD_TESTS}
    -DZB_UPDATE_IMAGE=${ZB_UPDATE_IMAGE}
    -DZB_WINDOWS_PROGRAM=${CMAKE_BINARY_DIR}/app/zbupdater.exe
    -DZB_WINE_HOME=${ZB_WINE_HOME}
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${zb_host_dir} --target zb_hextable
  BUILD_BYPRODUCTS ${zb_hextable_command}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
