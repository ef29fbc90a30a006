# What a release ships: the two tools and the guide, never the stand-ins. release/release.sh
# stages them with cmake --install and packs the zip and the MSI from there.
configure_file(${PROJECT_SOURCE_DIR}/docs/guide.txt ${PROJECT_BINARY_DIR}/GUIDE.txt @ONLY
               NEWLINE_STYLE CRLF)
install(TARGETS smbus_scan kiv_reset RUNTIME DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/GUIDE.txt DESTINATION .)
# Each tool's link map, beside it: the release reads from them what code of others is in it.
foreach(tool smbus_scan kiv_reset)
  target_link_options(${tool} PRIVATE "LINKER:-Map=$<TARGET_FILE:${tool}>.map")
endforeach()
