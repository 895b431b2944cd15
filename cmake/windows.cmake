# The Windows module xz.ztx, the console host and the test programs, which ctest
# runs under Wine, for 32-bit and for 64-bit hosts; `make dist` gathers both
# (scripts/make-dist.sh).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(XZ_PE_MACHINE i386)
    set(XZ_WORD_BITS 32)
else()
    set(XZ_PE_MACHINE x86-64)
    set(XZ_WORD_BITS 64)
endif()
# Where scripts/build-liblzma.sh puts it for `make win32` / `make win64`.
set(LIBLZMA_DIR ${CMAKE_BINARY_DIR}/../liblzma${XZ_WORD_BITS} CACHE PATH "cross-built liblzma (liblzma.dll, include/)")

enable_language(RC)

# The version has one definition, the project's; the liblzma version is the
# one built beside the module.
file(READ ${LIBLZMA_DIR}/version XZ_LZMA_VERSION)
string(STRIP "${XZ_LZMA_VERSION}" XZ_LZMA_VERSION)
# So is its licence, which changed with 5.6: the about text and the version
# resource say the one of the library that ships beside the module.
file(READ ${LIBLZMA_DIR}/licence XZ_LZMA_LICENCE)
string(STRIP "${XZ_LZMA_LICENCE}" XZ_LZMA_LICENCE)
if(XZ_LZMA_LICENCE STREQUAL "0BSD")
    set(XZ_LZMA_LICENCE_TEXT "under the BSD Zero Clause Licence")
elseif(XZ_LZMA_LICENCE STREQUAL "public-domain")
    set(XZ_LZMA_LICENCE_TEXT "in the public domain")
else()
    message(FATAL_ERROR "${LIBLZMA_DIR}/licence names no licence this build knows: ${XZ_LZMA_LICENCE}")
endif()
# And which revision it is, whether a fallback or an experiment, for the tests.
file(READ ${LIBLZMA_DIR}/about XZ_LZMA_ABOUT)
string(STRIP "${XZ_LZMA_ABOUT}" XZ_LZMA_ABOUT)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${LIBLZMA_DIR}/version ${LIBLZMA_DIR}/licence ${LIBLZMA_DIR}/about)
configure_file(${PROJECT_SOURCE_DIR}/plugin/version.h.in ${CMAKE_BINARY_DIR}/generated/plugin/version.h @ONLY)

find_library(MINGW_ZLIB NAMES libz.a REQUIRED)
find_path(MINGW_ZLIB_INCLUDE zlib.h REQUIRED)

# Module, host and test programs side by side, as a host folder would hold them.
set(XZ_BIN_DIR ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${XZ_BIN_DIR})

set(WIN_WARNINGS -Wall -Wextra)

# The same commit builds to the same bytes in any folder: no time stamp in
# the PE headers, and no path of this machine in what the compiler writes.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/)
add_link_options(-Wl,--no-insert-timestamp)

add_library(xzcore STATIC ${XZ_CORE_SOURCES} codec/sync_win.cc)
target_include_directories(xzcore PUBLIC ${PROJECT_SOURCE_DIR} ${MINGW_ZLIB_INCLUDE} ${LIBLZMA_DIR}/include)
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
    plugin/positioned_file.cc
    plugin/probe_codes.cc
    plugin/time_stamp.cc
    unpack/entry_header.cc
    unpack/extract.cc
    codec/file_streams.cc
    codec/codec_library.cc
    pack/mem_pack.cc
    pack/pack_files.cc
    settings/settings_store.cc
    settings/settings_dialog.cc
    settings/settings_dialog.rc
)
set_target_properties(xz_ztx PROPERTIES OUTPUT_NAME xz PREFIX "" SUFFIX ".ztx")
target_link_libraries(xz_ztx PRIVATE xzcore)
target_include_directories(xz_ztx PRIVATE ${LIBLZMA_DIR}/include ${CMAKE_BINARY_DIR}/generated ${PROJECT_SOURCE_DIR})
target_link_libraries(xz_ztx PRIVATE user32 gdi32)
target_compile_options(xz_ztx PRIVATE ${WIN_WARNINGS})
target_link_options(xz_ztx PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at -s)

add_custom_target(codec_library ALL
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LIBLZMA_DIR}/liblzma.dll ${XZ_BIN_DIR}/liblzma.dll
    VERBATIM)

# The command-line host.
# It has what any host has: the module's exports and the settings file, read by
# the inline rules of settings/pack_settings.h. None of the module's code is
# linked in.
add_executable(ztxhost tools/ztxhost.rc tools/ztxhost.cc tools/console.cc tools/plugin_module.cc
    tools/progress.cc tools/read_commands.cc tools/write_commands.cc)
target_include_directories(ztxhost PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
target_compile_options(ztxhost PRIVATE ${WIN_WARNINGS})
target_link_options(ztxhost PRIVATE -static -s)


set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(tests/win)
add_subdirectory(bench)
