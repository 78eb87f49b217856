# What `cmake --install` adds beyond the targets' own rules (the CMake package,
# the pkg-config files and the copyright file on Linux), and the release
# archives made by CPack:
#   Linux: a .deb and a .tar.gz;
#   Windows, production build: kazmir-<version>-win64.zip;
#   Windows, bench build: kazmir-<version>-win64-bench.zip (never mixed).
include(CMakePackageConfigHelpers)

if(NOT WIN32)
  set(KAZMIR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kazmir)
  install(EXPORT KazmirTargets NAMESPACE Kazmir:: DESTINATION ${KAZMIR_CMAKE_DIR})
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KazmirConfig.cmake.in
    ${CMAKE_BINARY_DIR}/KazmirConfig.cmake INSTALL_DESTINATION ${KAZMIR_CMAKE_DIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/KazmirConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/KazmirConfig.cmake ${CMAKE_BINARY_DIR}/KazmirConfigVersion.cmake
    DESTINATION ${KAZMIR_CMAKE_DIR})

  # The prefix relative to the .pc file, so that an unpacked archive works
  # wherever it lies.
  file(RELATIVE_PATH KAZMIR_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" KAZMIR_PC_TO_PREFIX "${KAZMIR_PC_TO_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/kazmir.pc.in ${CMAKE_BINARY_DIR}/kazmir.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/kazmir.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(TARGET kazmir_host)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/kazmir_host.pc.in ${CMAKE_BINARY_DIR}/kazmir_host.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/kazmir_host.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endif()
  # The .deb's copyright file, where Debian looks for it.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The Python binding finds the library three folders up from itself. Its
  # version (kazmir.__version__, also the pip package's) is the release's.
  file(STRINGS ${PROJECT_SOURCE_DIR}/bindings/python/kazmir/__init__.py KAZMIR_PY_VERSION
    REGEX "^__version__ = " LIMIT_COUNT 1)
  string(REGEX REPLACE "^__version__ = \"([^\"]*)\".*" "\\1" KAZMIR_PY_VERSION "${KAZMIR_PY_VERSION}")
  if(NOT KAZMIR_PY_VERSION STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "The Python binding says version \"${KAZMIR_PY_VERSION}\" "
      "(bindings/python/kazmir/__init__.py), Kazmir is ${PROJECT_VERSION}")
  endif()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/kazmir
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/python3/dist-packages PATTERN __pycache__ EXCLUDE)
else()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/README-Windows.txt DESTINATION .)
endif()

set(CPACK_PACKAGE_NAME kazmir)
set(CPACK_PACKAGE_VENDOR "Kazmir")
set(CPACK_PACKAGE_CONTACT "Kazmir developers <kazmir@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Prepares Kazmir interface boards and programs their firmware")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(KAZMIR_VIRTUAL_DEVICES)
    set(CPACK_PACKAGE_FILE_NAME kazmir-${PROJECT_VERSION}-win64-bench)
  else()
    set(CPACK_PACKAGE_FILE_NAME kazmir-${PROJECT_VERSION}-win64)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME kazmir-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
  if(TARGET kazmir_host AND KAZMIR_LIBELF)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libelf1")
  endif()
endif()
include(CPack)
