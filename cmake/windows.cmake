# The 32-bit Windows module xz.ztx and its test programs, run under Wine through ctest.
set(LIBLZMA_DIR ${CMAKE_BINARY_DIR}/../liblzma CACHE PATH "cross-built liblzma (liblzma.dll, include/)")

find_library(MINGW_ZLIB NAMES libz.a REQUIRED)
find_path(MINGW_ZLIB_INCLUDE zlib.h REQUIRED)

set(WIN_WARNINGS -Wall -Wextra)

add_library(xzcore STATIC ${XZ_CORE_SOURCES})
target_include_directories(xzcore PUBLIC ${PROJECT_SOURCE_DIR} ${MINGW_ZLIB_INCLUDE})
target_link_libraries(xzcore PUBLIC ${MINGW_ZLIB})
target_compile_options(xzcore PRIVATE ${WIN_WARNINGS})

# The module: stdcall exports under their plain names, every runtime linked
# in, so that it imports nothing but system DLLs.
add_library(xz_ztx SHARED
    plugin/archive_table.cc
    plugin/dllmain.cc
    plugin/fd_source.cc
    plugin/frame_exports.cc
    plugin/open_archive.cc
    plugin/probe_codes.cc
    plugin/time_stamp.cc
    unpack/entry_header.cc
)
set_target_properties(xz_ztx PROPERTIES OUTPUT_NAME xz PREFIX "" SUFFIX ".ztx")
target_link_libraries(xz_ztx PRIVATE xzcore)
target_compile_options(xz_ztx PRIVATE ${WIN_WARNINGS})
target_link_options(xz_ztx PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at -s)

set(DIST_DIR ${PROJECT_SOURCE_DIR}/dist CACHE PATH "where xz.ztx and liblzma.dll are put side by side")
add_custom_command(TARGET xz_ztx POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:xz_ztx> ${DIST_DIR}/xz.ztx
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LIBLZMA_DIR}/liblzma.dll ${DIST_DIR}/liblzma.dll
    VERBATIM)

set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(tests/win)

# The command-line host, placed beside the module in dist/.
add_executable(ztxhost tools/ztxhost.cc)
target_include_directories(ztxhost PRIVATE ${PROJECT_SOURCE_DIR})
target_link_options(ztxhost PRIVATE -static -s)
add_custom_command(TARGET ztxhost POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ztxhost> ${DIST_DIR}/ztxhost.exe
    VERBATIM)
