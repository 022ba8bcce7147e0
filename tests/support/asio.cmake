target_sources(rig_testing PRIVATE ${CMAKE_CURRENT_LIST_DIR}/SubstituteDriver.cpp)
target_link_libraries(rig_testing PUBLIC core dsp asio)
