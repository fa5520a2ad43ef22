# The buffer transformer: zlib compression and AES-128 block encryption in one buffer.
add_library(wardex_encryptor STATIC
  trevaskencryptor.cpp
)
target_include_directories(wardex_encryptor PUBLIC ${CMAKE_SOURCE_DIR} PRIVATE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(wardex_encryptor PUBLIC kvAPI PRIVATE ${MBEDCRYPTO_LIBRARY} ZLIB::ZLIB)
