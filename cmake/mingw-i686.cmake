# Cross toolchain for the 32-bit Windows module, the product.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
