add_executable(asio_convert_bench ${CMAKE_CURRENT_SOURCE_DIR}/convert_bench.cpp)
target_link_libraries(asio_convert_bench PRIVATE asio benchmark::benchmark rig_warnings)
