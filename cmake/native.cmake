# Native build of the core under AddressSanitizer and UBSan, with its tests and fuzz targets.
find_package(ZLIB REQUIRED)
find_package(LibLZMA REQUIRED)

set(SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_library(xzcore STATIC ${XZ_CORE_SOURCES})
target_include_directories(xzcore PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(xzcore PUBLIC ZLIB::ZLIB LibLZMA::LibLZMA)
target_compile_options(xzcore PUBLIC ${SANITIZE_FLAGS} -g -Wall -Wextra)
target_link_options(xzcore PUBLIC ${SANITIZE_FLAGS})

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE ${SANITIZE_FLAGS})
target_compile_options(gtest_main PRIVATE ${SANITIZE_FLAGS})

add_subdirectory(tests/native)
add_subdirectory(bench)

# libFuzzer needs clang; other compilers build everything but the fuzzers.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_subdirectory(fuzz)
endif()
