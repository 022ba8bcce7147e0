# Per-sample cost of the filter against a plain double direct form.
add_executable(dsp_iir_bench ${CMAKE_CURRENT_LIST_DIR}/iir_bench.cpp)
target_link_libraries(dsp_iir_bench PRIVATE dsp benchmark::benchmark rig_warnings)
