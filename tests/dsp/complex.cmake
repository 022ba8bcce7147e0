rig_add_test(dsp_complex_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/complex_test.cpp LIBS dsp)
