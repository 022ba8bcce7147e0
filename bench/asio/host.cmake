# The host's per-buffer path against the converters alone.
add_executable(asio_host_bench host_bench.cpp)
target_link_libraries(asio_host_bench PRIVATE rig_testing benchmark::benchmark rig_warnings)
