# Gives a Windows tool its version resource and its embedded application manifest.

# The maker's name is the MSI's Manufacturer: read from the installer's description, its
# one home.
set(TOOL_PACKAGE_DESCRIPTION ${PROJECT_SOURCE_DIR}/release/packaging/pelk-card-tools.wxs)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${TOOL_PACKAGE_DESCRIPTION})
file(STRINGS ${TOOL_PACKAGE_DESCRIPTION} manufacturer_line REGEX "Manufacturer=\"[^\"]+\"")
string(REGEX REPLACE ".*Manufacturer=\"([^\"]+)\".*" "\\1" TOOL_COMPANY "${manufacturer_line}")
if(TOOL_COMPANY STREQUAL "" OR TOOL_COMPANY STREQUAL manufacturer_line)
  message(FATAL_ERROR "No Manufacturer in ${TOOL_PACKAGE_DESCRIPTION}")
endif()

function(add_tool_resources target description)
  set(TOOL_NAME ${target})
  set(TOOL_DESCRIPTION "${description}")
  string(REPLACE "." "," TOOL_VERSION_COMMAS "${PELK_TOOL_VERSION}")
  set(TOOL_MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tool.manifest.in ${TOOL_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tool.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS
               ${TOOL_MANIFEST})
endfunction()
