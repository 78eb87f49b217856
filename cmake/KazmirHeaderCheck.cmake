# kazmir_header_check(): every header of the library, the host kit and the
# bench's control API compiles on its own. One translation unit per header
# includes it and nothing else (the C headers also as C); the CTest test
# `headers` builds them all.
function(kazmir_header_check)
  file(GLOB_RECURSE headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/*.h ${PROJECT_SOURCE_DIR}/hostkit/*.h ${PROJECT_SOURCE_DIR}/include/*.h
    ${PROJECT_SOURCE_DIR}/simulator/include/*.h)
  # Only this build's platform: the others' headers need their own system.
  if(NOT WIN32)
    list(FILTER headers EXCLUDE REGEX "^src/platform/win32")
  elseif(KAZMIR_VIRTUAL_DEVICES)
    list(FILTER headers EXCLUDE REGEX "^src/platform/(posix|win32/)")
  else()
    list(FILTER headers EXCLUDE REGEX "^src/platform/(posix|win32-virtual)")
  endif()
  # The host kit's JSON forms need nlohmann-json; a build without it has none.
  find_package(nlohmann_json QUIET)
  if(NOT TARGET nlohmann_json::nlohmann_json)
    list(REMOVE_ITEM headers hostkit/src/ImageJson.h)
  endif()
  set(sources)
  foreach(header ${headers} include/kazmir.h.c hostkit/include/kazmir_host.h.c)
    string(REGEX REPLACE "\\.c$" "" included ${header})
    string(MAKE_C_IDENTIFIER ${header} name)
    set(unit ${CMAKE_BINARY_DIR}/header-check/${name}.cpp)
    if(header MATCHES "\\.c$")
      set(unit ${CMAKE_BINARY_DIR}/header-check/${name}.c)
    endif()
    file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${PROJECT_SOURCE_DIR}/${included}\"\n")
    list(APPEND sources ${unit})
  endforeach()
  add_library(kazmir_header_check OBJECT EXCLUDE_FROM_ALL ${sources})
  kazmir_project_target(kazmir_header_check)
  target_include_directories(kazmir_header_check PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/hostkit/src ${PROJECT_SOURCE_DIR}/hostkit/include ${PROJECT_SOURCE_DIR}/simulator/include)
  target_link_libraries(kazmir_header_check PRIVATE kzmplatform)
  if(TARGET nlohmann_json::nlohmann_json)
    target_link_libraries(kazmir_header_check PRIVATE nlohmann_json::nlohmann_json)
  endif()
  target_compile_definitions(kazmir_header_check PRIVATE KAZMIR_HOST_STATIC)
  add_test(NAME headers COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target kazmir_header_check)
  set_tests_properties(headers PROPERTIES LABELS headers TIMEOUT 600)
endfunction()
