# Helpers that keep the per-folder CMake files empty: a folder's sources are picked up by glob,
# so adding a file never means editing a list.

# -Wall -Wextra always; -Werror only with NORVANE_WERROR, which the project's scripts and CI turn
# on. A user's plain build must not fail because another compiler version warns differently.
function(norvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(NORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# norvane_library(NAME DIR folder [EXCLUDE files...] [DEPS targets...])
# Builds norvane_NAME from folder/*.cpp (not recursive). A folder with no sources yet is an
# INTERFACE library, so its dependants link the same way before and after code arrives.
function(norvane_library name)
  cmake_parse_arguments(ARG "" "DIR" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${ARG_DIR}/*.cpp)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/${ARG_DIR}/${ex})
  endforeach()
  set(target norvane_${name})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS} Threads::Threads)
    norvane_warnings(${target})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPS} Threads::Threads)
  endif()
endfunction()
