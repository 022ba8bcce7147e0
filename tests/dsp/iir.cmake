rig_add_test(dsp_iir_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/iir_design_test.cpp ${CMAKE_CURRENT_LIST_DIR}/iir_component_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/iir_stability_test.cpp
  LIBS dsp)
rig_add_test(dsp_iir_threaded_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/iir_threaded_test.cpp
  LIBS dsp THREADED)
