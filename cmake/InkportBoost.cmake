# Boost for the gateway and its tests: Asio (headers) and Boost.JSON.
find_package(Boost 1.81 REQUIRED COMPONENTS json)
if(INKPORT_TSAN AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ warns in every unit that includes Asio that ThreadSanitizer does not
  # follow Asio's fences. Only for Boost's headers: ours have no fences, and
  # a new one should still be heard of.
  set_property(TARGET Boost::headers APPEND PROPERTY INTERFACE_COMPILE_OPTIONS -Wno-tsan)
endif()
