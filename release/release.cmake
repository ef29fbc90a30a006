# What a release builds and installs: the two tools, never the stand-ins. release/release.sh
# stages them with cmake --install; release/package_release.py adds the guide, the licence and
# the notices, and packs the zip and the MSI from there, with the MSI's custom action
# (pelk_path_entry.dll, not installed) in its Binary table.
install(TARGETS smbus_scan kiv_reset RUNTIME DESTINATION .)
# Each image's link map, beside it: the release reads from them what code of others is in it.
foreach(tool smbus_scan kiv_reset pelk_path_entry)
  target_link_options(${tool} PRIVATE "LINKER:-Map=$<TARGET_FILE:${tool}>.map")
endforeach()
