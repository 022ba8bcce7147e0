set(CONVERT_TEST_SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/convert_format_tests.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/convert_family_tests.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/convert_table_tests.cpp)
# The counts past 2^31 alias one memory block over gigabytes of address
# space with mmap and memfd, which Windows does not have; the routines are
# the same code there, so the Linux run covers them.
if(NOT WIN32)
  list(APPEND CONVERT_TEST_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/convert_large_tests.cpp)
endif()
rig_add_test(asio_convert_tests SOURCES ${CONVERT_TEST_SOURCES} LIBS asio)
