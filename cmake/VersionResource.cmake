# zb_add_version_resource(<target>): gives a Windows program the version resource
# that Explorer shows under the file's properties: product name, file version and a
# description that names the carried firmware's identity. The .rc file is made at
# build time from packaging/windows/zbupdater.rc.in and the identity that the table
# maker writes (image/), and compiled by CMAKE_RC_COMPILER (windres).
# Call it in the folder that defines the target; RC must be enabled (top level).
function(zb_add_version_resource target)
  get_target_property(identity zbfirmware ZB_FIRMWARE_IDENTITY_SCRIPT)
  set(template ${PROJECT_SOURCE_DIR}/packaging/windows/zbupdater.rc.in)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  add_custom_command(
    OUTPUT ${rc}
    COMMAND ${CMAKE_COMMAND} -DIDENTITY=${identity} -DVERSION=${PROJECT_VERSION} -DTEMPLATE=${template}
            -DOUTPUT=${rc} -P ${PROJECT_SOURCE_DIR}/cmake/ConfigureFromIdentity.cmake
    DEPENDS ${identity} zbfirmware_identity ${template} ${PROJECT_SOURCE_DIR}/cmake/ConfigureFromIdentity.cmake
    COMMENT "Version resource of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${rc})
endfunction()
