# The integration object and the executable.
add_library(wardex_core STATIC
  wardex.cpp
)
target_include_directories(wardex_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_core PUBLIC wardex_foundation Boost::boost Threads::Threads)

add_executable(wardex main.cpp)
target_link_libraries(wardex PRIVATE wardex_core)
