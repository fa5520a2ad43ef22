# The recording-server connection manager over the client library (libkvAPI.so).
add_library(wardex_connection STATIC
  TrevaskConnect.cpp
)
target_include_directories(wardex_connection PUBLIC ${CMAKE_SOURCE_DIR} PRIVATE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(wardex_connection PUBLIC wardex_foundation kvAPI PRIVATE ${MBEDCRYPTO_LIBRARY})
