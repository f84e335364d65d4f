# What `cmake --install` puts where, and the package that CPack makes from it
# (scripts/package.sh).
#
# Linux (GNU layout under CMAKE_INSTALL_PREFIX), the Debian package
# zbupdater_<version>_amd64.deb:
#   bin/zbupdater, bin/zbdevsim (the device emulator, built as tools/devsim/devsim)
#   lib/<multiarch>/zbupdater/zbupdater-window (the window program, which zbupdater starts)
#   share/man/man1/zbupdater.1.gz, zbdevsim.1.gz
#   share/doc/zbupdater/README.md, docs/*.md, tools/devsim/README.md, copyright, changelog.gz
#
# Windows, the zip zbupdater-<version>-win64.zip, without a folder inside:
#   zbupdater.exe, README.txt (Windows line ends, names the carried firmware)
if(WIN32)
  get_target_property(zb_identity zbfirmware ZB_FIRMWARE_IDENTITY_SCRIPT)
  set(zb_readme_template ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in)
  set(zb_readme ${CMAKE_BINARY_DIR}/packaging/README.txt)
  add_custom_command(
    OUTPUT ${zb_readme}
    COMMAND ${CMAKE_COMMAND} -DIDENTITY=${zb_identity} -DVERSION=${PROJECT_VERSION}
            -DTEMPLATE=${zb_readme_template} -DOUTPUT=${zb_readme} -DNEWLINES=CRLF
            -P ${PROJECT_SOURCE_DIR}/cmake/ConfigureFromIdentity.cmake
    DEPENDS ${zb_identity} zbfirmware_identity ${zb_readme_template}
            ${PROJECT_SOURCE_DIR}/cmake/ConfigureFromIdentity.cmake
    VERBATIM)
  add_custom_target(zb_windows_readme ALL DEPENDS ${zb_readme})
  if(TARGET zbupdater)
    install(TARGETS zbupdater RUNTIME DESTINATION .)
  endif()
  install(FILES ${zb_readme} DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME zbupdater)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME zbupdater-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)

find_program(ZB_GZIP gzip REQUIRED)

# Manual pages and the changelog carry the version; they are installed compressed
# (gzip -n: no name or time stamp, so the package is the same on every build).
set(zb_doc_build ${CMAKE_BINARY_DIR}/packaging)
set(zb_compressed)
foreach(zb_page zbupdater.1 zbdevsim.1 changelog)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${zb_page}.in ${zb_doc_build}/${zb_page} @ONLY)
  add_custom_command(
    OUTPUT ${zb_doc_build}/${zb_page}.gz
    COMMAND ${ZB_GZIP} -9nkf ${zb_page}
    DEPENDS ${zb_doc_build}/${zb_page}
    WORKING_DIRECTORY ${zb_doc_build}
    VERBATIM)
  list(APPEND zb_compressed ${zb_doc_build}/${zb_page}.gz)
endforeach()
add_custom_target(zb_docs ALL DEPENDS ${zb_compressed})

if(TARGET zbupdater)
  install(TARGETS zbupdater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The program finds it by the same path from its own folder (app/linux/CMakeLists.txt).
  install(TARGETS zbupdater_window RUNTIME DESTINATION ${ZB_WINDOW_DIR})
  install(FILES ${zb_doc_build}/zbupdater.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET devsim)
  # Installed under the name integrators type; stripped like the targets when asked.
  install(PROGRAMS $<TARGET_FILE:devsim> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME zbdevsim)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zbdevsim\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()")
  install(FILES ${zb_doc_build}/zbdevsim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Where the README's and the documents' links point, as in the source tree.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/devsim/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/tools/devsim)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The documents the README links, beside it as in the source tree.
file(GLOB zb_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${zb_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES ${zb_doc_build}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: zbupdater_<version>_amd64.deb. dpkg-shlibdeps (dpkg-dev)
# computes the run-time dependencies from the installed binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zbupdater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zbupdater developers <zbupdater@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended firmware updater for serial-bootloader devices")
# CPack puts the summary first and indents these lines; an empty line becomes " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[zbupdater updates a microcontroller device on a serial port with the
firmware image that it carries: started with the port name (COM1 to
COM256), it brings the device into its bootloader, erases and rewrites the
application flash, and writes one result text into status.dat in its
working directory. It needs no one at the line and runs without a display.

The package also holds zbdevsim, an emulator of the device on a
pseudo-terminal with injectable faults, for trying the updater and for
testing the programs that call it.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
