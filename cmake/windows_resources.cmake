# Gives a Windows tool its version resource and its embedded application manifest.
function(add_tool_resources target description)
  set(TOOL_NAME ${target})
  set(TOOL_DESCRIPTION "${description}")
  set(TOOL_VERSION4 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(TOOL_VERSION_COMMAS
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(TOOL_MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tool.manifest.in ${TOOL_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tool.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS
               ${TOOL_MANIFEST})
endfunction()
