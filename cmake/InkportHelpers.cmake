# The runtime support is compiled into every deliverable with that
# deliverable's own trace-switch prefix.
set(INKPORT_SUPPORT_SOURCES
  ${PROJECT_SOURCE_DIR}/support/wrappers.cpp
  ${PROJECT_SOURCE_DIR}/support/wrappthread.cpp
  ${PROJECT_SOURCE_DIR}/support/wrapunix.cpp)

function(inkport_add_support target prefix)
  target_sources(${target} PRIVATE ${INKPORT_SUPPORT_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/support)
  target_compile_definitions(${target} PRIVATE TRACE_PREFIX="${prefix}")
endfunction()

# A shared library whose exported names are exactly those of its version
# script: hidden visibility alone lets standard-library instantiations leak.
function(inkport_shared_library target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;SOVERSION;MAP" "" ${ARGN})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT_NAME}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${ARG_SOVERSION}
    LINK_DEPENDS ${ARG_MAP})
  target_link_options(${target} PRIVATE "-Wl,--version-script=${ARG_MAP}")
  # clang leaves the sanitizer runtimes out of shared libraries; the program
  # that loads them brings them in.
  if(NOT INKPORT_FUZZ)
    target_link_options(${target} PRIVATE "-Wl,--no-undefined")
  endif()
endfunction()

# A library built three ways from one set of objects: the shared library
# with exactly the names of its version script, and a static archive through
# which the unit tests reach what the shared library does not export.
#   inkport_library(NAME [SOURCE_DIRS dir...] LIBS ...)
# compiles src/*.cpp of the calling folder and *.cpp of each SOURCE_DIRS
# folder (all of them on the include path), with NAME.map as version
# script, trace switches LIB<NAME>_* and <NAME>_BUILDING defined; it makes
# NAME_objects, NAME (soname 1) and NAME_internal.
function(inkport_library name)
  cmake_parse_arguments(ARG "" "" "SOURCE_DIRS;LIBS" ${ARGN})
  string(TOUPPER ${name} upper)
  set(dirs ${CMAKE_CURRENT_SOURCE_DIR}/src ${ARG_SOURCE_DIRS})
  list(TRANSFORM dirs APPEND /*.cpp OUTPUT_VARIABLE patterns)
  file(GLOB sources CONFIGURE_DEPENDS ${patterns})
  set(map ${CMAKE_CURRENT_SOURCE_DIR}/${name}.map)

  add_library(${name}_objects OBJECT ${sources})
  inkport_add_support(${name}_objects "LIB${upper}_")
  target_include_directories(${name}_objects PUBLIC
    ${PROJECT_SOURCE_DIR}/include ${dirs} ${PROJECT_SOURCE_DIR}/support)
  target_compile_definitions(${name}_objects PUBLIC ${upper}_BUILDING)
  target_link_libraries(${name}_objects PUBLIC ${ARG_LIBS})

  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  inkport_shared_library(${name} OUTPUT_NAME ${name} SOVERSION 1 MAP ${map})

  add_library(${name}_internal STATIC $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name}_internal PUBLIC ${name}_objects)
endfunction()

# A libFuzzer target: fuzz/<dir>/ holds its source and its seed corpus
# (corpus/); scripts/fuzz runs every target for a bounded time.
function(inkport_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY INKPORT_FUZZERS ${name})
endfunction()

# Every sub-folder with a CMakeLists.txt joins the build: bench/ and fuzz/
# grow one folder per subject.
function(inkport_add_subfolders)
  file(GLOB dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${dirs})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
