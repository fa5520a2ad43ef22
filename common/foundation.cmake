# Logger, string and time utilities, JSON configuration file.
add_library(wardex_foundation STATIC
  logger.cpp
  string_util.cpp
  time_helpers.cpp
  common_json.cpp
)
target_include_directories(wardex_foundation PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_foundation PUBLIC nlohmann_json::nlohmann_json Threads::Threads)
