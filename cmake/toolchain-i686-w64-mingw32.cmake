# 32-bit Windows with MinGW-w64, from a Linux host:
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
#         -DQKS_FIRMWARE_DIR=<images made by a native make_dev_images>
# The -posix compilers, because the -win32 ones have no std::thread or
# std::mutex and GoogleTest needs them. Everything the C and C++ runtimes
# bring is linked in, so the programs import only DLLs every Windows has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QKS_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QKS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QKS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QKS_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${QKS_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${QKS_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QKS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# Test programs run under Wine: ctest, and gtest_discover_tests when it lists
# a program's tests (just before they run, not at build time).
find_program(QKS_WINE wine)
if(QKS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QKS_WINE})
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
