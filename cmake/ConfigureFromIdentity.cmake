# Configures a template with the program version and the identity of the carried
# firmware, at build time (the identity is known only once the table maker ran).
#   cmake -DIDENTITY=<FirmwareIdentity.cmake> -DVERSION=<x.y[.z]> -DTEMPLATE=<in>
#         -DOUTPUT=<out> [-DNEWLINES=CRLF] -P ConfigureFromIdentity.cmake
# The template may use @ZB_VERSION@, @ZB_VERSION_MAJOR@, @ZB_VERSION_MINOR@,
# @ZB_VERSION_PATCH@ and the ZB_FIRMWARE_* variables of the identity script.
include(${IDENTITY})
set(ZB_VERSION ${VERSION})
string(REPLACE "." ";" zb_parts "${VERSION}.0.0")
list(GET zb_parts 0 ZB_VERSION_MAJOR)
list(GET zb_parts 1 ZB_VERSION_MINOR)
list(GET zb_parts 2 ZB_VERSION_PATCH)
if(NOT DEFINED NEWLINES)
  set(NEWLINES UNIX)
endif()
configure_file(${TEMPLATE} ${OUTPUT} @ONLY NEWLINE_STYLE ${NEWLINES})
