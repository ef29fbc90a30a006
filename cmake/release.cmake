# The release zip for technicians: the two tools and the guide, never the stand-ins.
configure_file(${PROJECT_SOURCE_DIR}/docs/guide.txt ${PROJECT_BINARY_DIR}/GUIDE.txt @ONLY
               NEWLINE_STYLE CRLF)
install(TARGETS smbus_scan kiv_reset RUNTIME DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/GUIDE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pelk-card-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME pelk-card-tools-${PROJECT_VERSION}-win-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/release)
include(CPack)
