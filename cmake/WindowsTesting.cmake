# Tests of the Windows cross-build: GoogleTest from the sources Debian's
# googletest package ships, built with the cross compiler, under the names
# find_package(GTest) gives; and the wine prefix the tests run in, made
# fresh by a set-up test that every test requires.
set(RIG_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${RIG_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its own build defines the GTest:: names already (1.12 and later).
foreach(t gtest gmock gtest_main gmock_main)
  if(NOT TARGET GTest::${t})
    add_library(GTest::${t} ALIAS ${t})
  endif()
endforeach()

find_program(RIG_WINEBOOT wineboot REQUIRED)

# rig_wine_prefix(<name>): a set-up test that makes the prefix
# wineprefix-<name> in the build folder (once) and the fixture wine_<name>
# that requires it.
function(rig_wine_prefix name)
  set(prefix ${CMAKE_BINARY_DIR}/wineprefix-${name})
  add_test(NAME wine_prefix_${name}
    COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${prefix} WINEDEBUG=-all
            sh -c "[ -f \"$WINEPREFIX/system.reg\" ] || ${RIG_WINEBOOT} -i")
  set_tests_properties(wine_prefix_${name} PROPERTIES FIXTURES_SETUP wine_${name} TIMEOUT 300)
endfunction()

# rig_use_wine_prefix(<test> <name>): runs a test in a prefix of its own,
# for tests that change the registry or restart wine.
function(rig_use_wine_prefix test name)
  rig_wine_prefix(${name})
  set_tests_properties(${test} PROPERTIES
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-${name}" FIXTURES_REQUIRED wine_${name})
endfunction()

# The prefix every other test shares.
rig_wine_prefix(default)
