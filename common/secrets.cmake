# Machine identity, random bytes, secret wiping, password converters and secret files.
add_library(wardex_secrets STATIC
  gen_random.cpp
  secrets.cpp
  crypto.cpp
)
target_include_directories(wardex_secrets PUBLIC ${CMAKE_SOURCE_DIR} PRIVATE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(wardex_secrets PUBLIC wardex_encryptor wardex_foundation kvAPI PRIVATE ${MBEDCRYPTO_LIBRARY})
