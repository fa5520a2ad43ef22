# The integration object, its payloads and time zones, and the executable.
add_library(wardex_core STATIC
  wardex.cpp
  outbox_report.cpp
  login_backoff.cpp
  payloads.cpp
  recorder_cache.cpp
  time_zones.cpp
  time_answer.cpp
)
target_include_directories(wardex_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_core PUBLIC
  wardex_soap wardex_connection wardex_secrets wardex_foundation kvAPI Boost::boost Threads::Threads)

# systemd notification (READY, STATUS, WATCHDOG, STOPPING) through libsystemd.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
add_library(wardex_notify STATIC service_notify.cpp)
target_include_directories(wardex_notify PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_notify PUBLIC PkgConfig::SYSTEMD)

add_executable(wardex main.cpp)
target_link_libraries(wardex PRIVATE wardex_core wardex_notify)
# In the build tree libkvAPI.so is found through the RUNPATH CMake derives from the
# linked library (build/lib, nothing else). An installed binary carries no RUNPATH: the
# package points the loader at the vendor's library folder (packaging/package.cmake).
