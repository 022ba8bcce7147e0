# The substitute driver, shared with the window's tests.
add_library(asio_substitute STATIC ${CMAKE_CURRENT_LIST_DIR}/SubstituteDriver.cpp)
target_include_directories(asio_substitute PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(asio_substitute PUBLIC core dsp asio PRIVATE rig_warnings)

rig_add_test(asio_host_tests
  SOURCES host_adapter_test.cpp host_registry_test.cpp host_lifecycle_test.cpp
          host_buffers_test.cpp
  LIBS asio_substitute)
rig_add_test(asio_host_threaded_tests SOURCES host_threaded_test.cpp LIBS asio_substitute THREADED)
