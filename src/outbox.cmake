# The durable outbox: alarms on disk (SQLite) until the receiver has them.
add_library(wardex_outbox STATIC
  outbox.cpp
  outbox_salvage.cpp
  outbox_damaged.cpp
  outbox_readonly.cpp
)
target_include_directories(wardex_outbox PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_outbox PUBLIC SQLite::SQLite3 ZLIB::ZLIB)

# When to send what: per-payload back-off, the receiver's circuit breaker, and the
# in-memory window in front of the outbox.
add_library(wardex_delivery STATIC
  delivery_policy.cpp
  delivery_route.cpp
  delivery_backlog.cpp
  reachability_watch.cpp
  delivery_log.cpp
)
target_include_directories(wardex_delivery PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_delivery PUBLIC wardex_outbox wardex_foundation Boost::boost Threads::Threads)
