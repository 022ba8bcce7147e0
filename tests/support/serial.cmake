# The serial doubles: the fault-injecting simulated port driver, and on
# Linux an emulated serial device (a pty with modem lines of its own) for
# the real driver.
list(APPEND RIG_TESTING_SOURCES ${CMAKE_CURRENT_LIST_DIR}/FaultyPort.cpp)
list(APPEND RIG_TESTING_LIBS serial)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND RIG_TESTING_SOURCES ${CMAKE_CURRENT_LIST_DIR}/EmulatedSerialDevice.cpp)
  list(APPEND RIG_TESTING_LIBS util)
endif()
