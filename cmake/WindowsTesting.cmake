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
add_test(NAME wine_prefix
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${RIG_WINEPREFIX} WINEDEBUG=-all
          sh -c "[ -f \"$WINEPREFIX/system.reg\" ] || ${RIG_WINEBOOT} -i")
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
