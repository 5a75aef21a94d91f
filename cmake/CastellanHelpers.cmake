# castellan_add_library(NAME SOURCES ... LINKS ...)
# One static library per folder; the folder's parent is the include root, so code
# includes "features/fast9.h", "pose/matrix4.h" and so on.
function(castellan_add_library NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  set(sources ${ARG_SOURCES})
  list(FILTER sources INCLUDE REGEX "\\.cpp$")
  if(NOT sources)
    list(APPEND ARG_SOURCES ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${NAME} STATIC ${ARG_SOURCES})
  target_include_directories(${NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${NAME} PUBLIC ${ARG_LINKS})
endfunction()

# castellan_add_test(FOLDER [QAPP] SOURCES ... LINKS ...)
# One test executable per folder; tests are registered as "FOLDER/Suite.Case" so
# that `ctest -R '^pose/'` runs one room's tests.
# QAPP: the tests run inside a QApplication (widgets, actions, GL canvases).
function(castellan_add_test FOLDER)
  cmake_parse_arguments(ARG "QAPP" "" "SOURCES;LINKS" ${ARGN})
  if(NOT ARG_SOURCES)
    return()
  endif()
  set(exe ${FOLDER}_tests)
  add_executable(${exe} ${ARG_SOURCES})
  if(ARG_QAPP)
    set(main castellan_qapp_gtest_main)
  else()
    set(main GTest::gtest_main)
  endif()
  target_link_libraries(${exe} PRIVATE ${ARG_LINKS} GTest::gtest GTest::gmock ${main})
  target_compile_definitions(${exe} PRIVATE CASTELLAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  include(GoogleTest)
  # Discovery runs at test time, under the test command's X server, not at build time.
  gtest_discover_tests(${exe} TEST_PREFIX "${FOLDER}/" DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST)
endfunction()

# castellan_add_qtest(FOLDER NAME SOURCES ... LINKS ...)
# A Qt Test executable for widget tests, registered as "FOLDER/NAME".
function(castellan_add_qtest FOLDER NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  set(exe ${FOLDER}_${NAME})
  add_executable(${exe} ${ARG_SOURCES})
  target_link_libraries(${exe} PRIVATE ${ARG_LINKS} Qt6::Test)
  target_compile_definitions(${exe} PRIVATE CASTELLAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME ${FOLDER}/${NAME} COMMAND ${exe})
endfunction()
