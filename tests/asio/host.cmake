rig_add_test(asio_host_tests
  SOURCES host_adapter_test.cpp host_registry_test.cpp host_lifecycle_test.cpp
          host_buffers_test.cpp host_fault_test.cpp
  LIBS rig_testing)
rig_add_test(asio_host_threaded_tests SOURCES host_threaded_test.cpp host_fault_threaded_test.cpp
  LIBS rig_testing THREADED)
