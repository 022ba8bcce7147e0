# The built-in Linux drivers. JACK and ALSA tests talk to a real server and
# stay out of the ThreadSanitizer set (the JACK client library is not
# instrumented); the self-clocked driver's own threads are checked there.
# Each driver's tests come in with the driver.
set(DRIVERS_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/drivers_common_test.cpp)
if(RIG_WITH_ALSA)
  list(APPEND DRIVERS_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/drivers_alsa_test.cpp)
endif()
if(RIG_WITH_JACK)
  list(APPEND DRIVERS_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/drivers_jack_test.cpp)
endif()
if(RIG_WITH_ALSA AND RIG_WITH_JACK)
  list(APPEND DRIVERS_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/drivers_host_test.cpp)
endif()
rig_add_test(asio_drivers_tests SOURCES ${DRIVERS_TEST_SOURCES} LIBS asio_drivers)
rig_add_test(asio_drivers_threaded_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/drivers_selfclocked_threaded.cpp LIBS asio_drivers THREADED)
