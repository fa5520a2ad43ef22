# Reliable SOAP messaging: request documents, answer parsing and the sequencer.
add_library(wardex_soap STATIC
  soap_messages.cpp
  xml_names.cpp
  answer_class.cpp
  soap_helper.cpp
)
target_include_directories(wardex_soap PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(wardex_soap PUBLIC wardex_http wardex_courier wardex_delivery wardex_foundation tinyxml2::tinyxml2 nlohmann_json::nlohmann_json
  Boost::boost Threads::Threads)
