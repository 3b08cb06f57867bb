# Programs of this build run under Wine through one wrapper (wine-run.sh in the build
# folder): a private prefix and home under the build folder, the Chinese ANSI code page,
# a persistent wineserver and a virtual X display of their own. CTest uses it as the
# cross-compiling emulator.
set(DR_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)
set(DR_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${DR_WINE_RUN} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DR_WINE_RUN})
