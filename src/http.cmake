# The HTTP client: value types and the asynchronous transfer engine.
add_library(wardex_http STATIC
  http_work_queue.cpp
)
target_include_directories(wardex_http PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_http PUBLIC wardex_foundation CURL::libcurl Boost::boost Threads::Threads)
