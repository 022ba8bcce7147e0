# The built-in Linux drivers. JACK and ALSA tests talk to a real server and
# stay out of the ThreadSanitizer set (the JACK client library is not
# instrumented); the self-clocked driver's own threads are checked there.
file(GLOB DRIVERS_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/drivers_*_test.cpp)
rig_add_test(asio_drivers_tests SOURCES ${DRIVERS_TEST_SOURCES} LIBS asio_drivers)
file(GLOB DRIVERS_THREADED_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/drivers_*_threaded.cpp)
rig_add_test(asio_drivers_threaded_tests SOURCES ${DRIVERS_THREADED_SOURCES} LIBS asio_drivers
  THREADED)
