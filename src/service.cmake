# The integration object, its units, its payloads and time zones, and the executable.

# The version, from project(VERSION): included as "src/service/version.h".
configure_file(service/version.h.in ${CMAKE_BINARY_DIR}/generated/src/service/version.h @ONLY)

add_library(wardex_core STATIC
  wardex.cpp
  outbox_report.cpp
  login_backoff.cpp
  payloads.cpp
  recorder_cache.cpp
  recorder/recorder_link.cpp
  service/config.cpp
  service/diagnostic.cpp
  service/event_translator.cpp
  service/registration.cpp
  service/stored_password.cpp
  service/time_sync.cpp
  time_zones.cpp
  time_answer.cpp
)
target_include_directories(wardex_core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
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
