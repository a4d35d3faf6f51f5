# The release package: the folder a mod author ships and a player unpacks.
#   Install.exe, Install.plug, the payload folders gta3.img and player.img
#   (the mod's .dff and .txd files), and Backups with one folder per archive.
# A mod author replaces the payload folders' contents (VELTRIN_PAYLOAD) and
# nothing else.
set(VELTRIN_PAYLOAD "${PROJECT_SOURCE_DIR}/demo/mod" CACHE PATH
    "Folder holding the payload folders gta3.img and player.img")

install(TARGETS install_exe install_plug RUNTIME DESTINATION .)
install(DIRECTORY "${VELTRIN_PAYLOAD}/gta3.img" "${VELTRIN_PAYLOAD}/player.img" DESTINATION .
        FILES_MATCHING PATTERN "*.dff" PATTERN "*.txd" PATTERN "*.DFF" PATTERN "*.TXD")
install(DIRECTORY DESTINATION Backups/gta3.img)
install(DIRECTORY DESTINATION Backups/player.img)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME "VeltrinMOD")
set(CPACK_PACKAGE_VERSION "1.00")
set(CPACK_PACKAGE_FILE_NAME "VeltrinMOD-V1")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
include(CPack)
