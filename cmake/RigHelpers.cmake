# Warnings every target of the project links.
add_library(rig_warnings INTERFACE)
target_compile_options(rig_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(RIG_WERROR)
  target_compile_options(rig_warnings INTERFACE -Werror)
endif()

if(RIG_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(RIG_SANITIZE STREQUAL "thread")
  # Without the compiler's built-in memory functions every block copy is a
  # call the sanitizer sees; inlined, a copy racing another thread's write
  # goes unreported.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -fno-builtin)
  add_link_options(-fsanitize=thread)
elseif(NOT RIG_SANITIZE STREQUAL "")
  message(FATAL_ERROR "RIG_SANITIZE must be empty, 'address' or 'thread'")
endif()

# rig_add_test(<name> SOURCES ... LIBS ... [THREADED] [LABELS ...])
# One GoogleTest executable registered with CTest. THREADED marks tests that
# run several threads: they get the "threaded" label and join the
# threaded_tests target that the TSan build compiles.
function(rig_add_test name)
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main rig_warnings)
  set(labels ${T_LABELS})
  if(T_THREADED)
    list(APPEND labels threaded)
    add_dependencies(threaded_tests ${name})
  endif()
  set(props TIMEOUT 300)
  if(labels)
    list(JOIN labels "\\;" joined)
    list(APPEND props LABELS "${joined}")
  endif()
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    # Under wine each start costs a process launch: one test per executable,
    # in the shared prefix (cmake/WindowsTesting.cmake).
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ${props} FIXTURES_REQUIRED wine_default
      ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-default")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  endif()
endfunction()

# rig_add_library(<name> SOURCES ... [LIBS ...]): one static library per subsystem.
function(rig_add_library name)
  cmake_parse_arguments(L "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_LIBS} PRIVATE rig_warnings)
endfunction()
