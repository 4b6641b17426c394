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
  target_link_options(${target} PRIVATE "-Wl,--version-script=${ARG_MAP}" "-Wl,--no-undefined")
endfunction()
