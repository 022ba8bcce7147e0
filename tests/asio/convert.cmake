rig_add_test(asio_convert_tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/convert_format_tests.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/convert_family_tests.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/convert_table_tests.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/convert_large_tests.cpp
  LIBS asio)
