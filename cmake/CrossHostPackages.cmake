# Cross builds (mingw-w64): the Debian packages the simulator, the tests and
# the command-line host use, made usable for the target compiler.
#
# The header-only libraries live in /usr/include, which must not be put on the
# cross compiler's include path (it would find glibc's headers there). Only
# their own folders are linked into a folder of the build tree, and small
# package configurations there give find_package the usual targets.
# GoogleTest has no Windows binaries: it is built from Debian's sources.

function(kazmir_cross_header_package package target header)
  find_path(_dir ${header} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT _dir)
    message(STATUS "Cross build: ${header} not found; ${package} is not available")
    unset(_dir CACHE)
    return()
  endif()
  string(REGEX REPLACE "/.*" "" _top "${header}")
  set(_include ${CMAKE_BINARY_DIR}/cross-host-include)
  file(MAKE_DIRECTORY ${_include})
  if(NOT EXISTS ${_include}/${_top})
    file(CREATE_LINK ${_dir}/${_top} ${_include}/${_top} SYMBOLIC)
  endif()
  set(_config ${CMAKE_BINARY_DIR}/cross-host-packages/${package})
  file(WRITE ${_config}/${package}Config.cmake
    "if(NOT TARGET ${target})\n"
    "  add_library(${target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${_include}\")\n"
    "endif()\n")
  set(${package}_DIR ${_config} CACHE PATH "Cross build: ${package} from the build host's headers" FORCE)
  unset(_dir CACHE)
endfunction()

kazmir_cross_header_package(nlohmann_json nlohmann_json::nlohmann_json nlohmann/json.hpp)
kazmir_cross_header_package(CLI11 CLI11::CLI11 CLI/CLI.hpp)

# GoogleTest from source, with the targets find_package(GTest) would give.
if(KAZMIR_BUILD_TESTS AND EXISTS /usr/src/googletest/CMakeLists.txt AND NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(_lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${_lib})
      add_library(GTest::${_lib} ALIAS ${_lib})
    endif()
  endforeach()
  set(GTest_FOUND TRUE)
endif()
