# The release package: the folder a mod author ships and a player unpacks.
#   Install.exe, Install.plug, the payload folders gta3.img and player.img
#   (the mod's .dff and .txd files), and Backups with one empty folder per
#   archive; beside them the files of package/ (the player's ReadMe, the undo
#   file).
# A mod author replaces the payload folders' contents (VELTRIN_PAYLOAD) and
# nothing else. The build writes the zip into <build>/package; `cpack` in the
# build folder writes the same zip.
set(VELTRIN_PAYLOAD "${PROJECT_SOURCE_DIR}/demo/mod" CACHE PATH
    "Folder holding the payload folders gta3.img and player.img")

set(VELTRIN_PACKAGE_NAME "VeltrinMOD-V1")
set(VELTRIN_PACKAGE_ZIP "${CMAKE_BINARY_DIR}/package/${VELTRIN_PACKAGE_NAME}.zip")

# Only the files the installer takes: names ending in .dff or .txd in any
# case, not hidden (a leading dot).
set(_veltrin_mod_file_regex "/[^./][^/]*\\.([dD][fF][fF]|[tT][xX][dD])$")

install(TARGETS install_exe install_plug RUNTIME DESTINATION .)
install(DIRECTORY "${VELTRIN_PAYLOAD}/gta3.img" "${VELTRIN_PAYLOAD}/player.img" DESTINATION .
        FILES_MATCHING REGEX "${_veltrin_mod_file_regex}")
# The texts and the undo file a player reads or double-clicks, beside the
# programs: every file of package/, as it is (CR LF, ANSI).
file(GLOB VELTRIN_PACKAGE_FILES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/package/*")
install(FILES ${VELTRIN_PACKAGE_FILES} DESTINATION .)
install(DIRECTORY DESTINATION Backups/gta3.img)
install(DIRECTORY DESTINATION Backups/player.img)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME "VeltrinMOD")
set(CPACK_PACKAGE_VERSION "1.00")
set(CPACK_PACKAGE_FILE_NAME "${VELTRIN_PACKAGE_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
# CPack builds the "preinstall" target before it installs; that target must
# not build "all" again, or the build's own packaging step would start itself.
# The packaging step below depends on the programs it packs instead.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)

file(GLOB_RECURSE _veltrin_payload_files CONFIGURE_DEPENDS
     "${VELTRIN_PAYLOAD}/gta3.img/*" "${VELTRIN_PAYLOAD}/player.img/*")
add_custom_command(
  OUTPUT "${VELTRIN_PACKAGE_ZIP}"
  COMMAND "${CMAKE_COMMAND}" -E rm -f "${VELTRIN_PACKAGE_ZIP}"
  COMMAND "${CMAKE_CPACK_COMMAND}" --config "${CMAKE_BINARY_DIR}/CPackConfig.cmake"
  DEPENDS install_exe install_plug "$<TARGET_FILE:install_exe>" "$<TARGET_FILE:install_plug>"
          ${_veltrin_payload_files} ${VELTRIN_PACKAGE_FILES} "${CMAKE_CURRENT_LIST_FILE}"
  WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
  COMMENT "Packing the release ${VELTRIN_PACKAGE_NAME}.zip"
  VERBATIM)
add_custom_target(release_package ALL DEPENDS "${VELTRIN_PACKAGE_ZIP}")
