# Cross toolchain for the 64-bit Windows build of the module, for running the
# tests under wine64 on machines that cannot run 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh --64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
