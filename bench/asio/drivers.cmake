# Callback intervals and reported latency of the built-in drivers.
if(TARGET asio_drivers AND RIG_WITH_ALSA AND RIG_WITH_JACK)
  add_executable(asio_driver_latency_bench ${CMAKE_CURRENT_LIST_DIR}/driver_latency_bench.cpp)
  target_link_libraries(asio_driver_latency_bench PRIVATE asio_drivers benchmark::benchmark
    rig_warnings)
endif()
