# Packages for the MinGW cross build. The MinGW sysroot has none of the
# project's dependencies installed, but two kinds need no Windows build of
# their own: header-only libraries, taken from the host's headers, and
# GoogleTest, built here from the sources Debian ships for that purpose.
# The find_package calls elsewhere stay as they are: CMake looks in the
# redirects folder before anywhere else.
include(FetchContent)

# Only the library's own folder is copied: adding the host's /usr/include
# to a MinGW compile would put glibc's headers in front of MinGW's.
function(qks_host_header_package package version_header folder)
  set(copy ${CMAKE_BINARY_DIR}/host-headers)
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "${package} headers not found in /usr/include/${folder}")
  endif()
  file(COPY /usr/include/${folder} DESTINATION ${copy})
  file(STRINGS /usr/include/${version_header} lines REGEX "#define [A-Z0-9_]+VERSION_(MAJOR|MINOR|PATCH) ")
  set(version "")
  foreach(part MAJOR MINOR PATCH)
    string(REGEX MATCH "VERSION_${part} ([0-9]+)" found "${lines}")
    list(APPEND version ${CMAKE_MATCH_1})
  endforeach()
  list(GET version 0 major)
  list(JOIN version "." version)
  set(dir ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR})
  string(TOLOWER ${package} lower)
  file(WRITE ${dir}/${lower}-config.cmake
    "if(NOT TARGET ${package}::${package})\n"
    "  add_library(${package}::${package} INTERFACE IMPORTED)\n"
    "  set_target_properties(${package}::${package} PROPERTIES\n"
    "    INTERFACE_INCLUDE_DIRECTORIES \"${copy}\")\n"
    "endif()\n")
  file(WRITE ${dir}/${lower}-config-version.cmake
    "set(PACKAGE_VERSION ${version})\n"
    "set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
    "if(PACKAGE_FIND_VERSION AND (PACKAGE_VERSION VERSION_LESS PACKAGE_FIND_VERSION OR\n"
    "   NOT PACKAGE_FIND_VERSION_MAJOR STREQUAL \"${major}\"))\n"
    "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n"
    "endif()\n")
endfunction()

qks_host_header_package(nlohmann_json nlohmann/detail/abi_macros.hpp nlohmann)
qks_host_header_package(CLI11 CLI/Version.hpp CLI)

if(QKS_BUILD_TESTS)
  set(QKS_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest sources for the cross build (Debian: googletest)")
  if(NOT EXISTS ${QKS_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${QKS_GOOGLETEST_SOURCE}: install googletest")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  FetchContent_Declare(GTest SOURCE_DIR ${QKS_GOOGLETEST_SOURCE} OVERRIDE_FIND_PACKAGE)
  FetchContent_MakeAvailable(GTest)
endif()
