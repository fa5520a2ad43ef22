# The integration object, its payloads and time zones, and the executable.
add_library(wardex_core STATIC
  wardex.cpp
  login_backoff.cpp
  payloads.cpp
  time_zones.cpp
)
target_include_directories(wardex_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_core PUBLIC
  wardex_soap wardex_connection wardex_secrets wardex_foundation kvAPI Boost::boost Threads::Threads)

add_executable(wardex main.cpp)
target_link_libraries(wardex PRIVATE wardex_core)
# libkvAPI.so is found beside the build's programs, or where an installation puts the
# vendor's library (LD_LIBRARY_PATH or the system's library path).
set_target_properties(wardex PROPERTIES BUILD_RPATH "${CMAKE_BINARY_DIR}/lib" INSTALL_RPATH "")

install(TARGETS wardex RUNTIME DESTINATION bin)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/get_id.sh DESTINATION share/wardex/scripts)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/wardex.json.sample ${CMAKE_SOURCE_DIR}/packaging/wardex.service
        ${CMAKE_SOURCE_DIR}/packaging/wardex.sudoers DESTINATION share/wardex)
