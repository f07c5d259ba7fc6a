# The Windows programs of this build, 32- or 64-bit, run under Wine: every
# test and custom command that names a target goes through wine-run.sh,
# CMake's cross-compiling emulator, with the build's own prefix (created on
# first use) and the display of the test session (tests/CMakeLists.txt).
# wine64 hands a 32-bit program to Wine's 32-bit loader (wine32:i386).
set(EXTTOOL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(EXTTOOL_WINE_STATE ${CMAKE_BINARY_DIR}/wine-session)
find_program(EXTTOOL_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT EXTTOOL_WINE_LOADER)
  set(EXTTOOL_WINE_LOADER /usr/lib/wine/wine64)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
