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
