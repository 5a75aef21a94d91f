# castellan_room_include_dir(OUT FOLDER)
# A directory that holds only a link named FOLDER to the source folder, so that
# "FOLDER/x.h" resolves through it and nothing else does.
function(castellan_room_include_dir OUT FOLDER)
  set(root ${CMAKE_BINARY_DIR}/rooms/${FOLDER})
  if(NOT EXISTS ${root}/${FOLDER})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${FOLDER} ${root}/${FOLDER} SYMBOLIC)
  endif()
  set(${OUT} ${root} PARENT_SCOPE)
endfunction()

# castellan_add_library(NAME SOURCES ... [LINKS ...] [PUBLIC_LINKS ...])
# One static library per folder. It exposes only its own folder, so code
# includes "features/fast9.h" only where it links castellan_features. LINKS are
# private; PUBLIC_LINKS are the ones the folder's headers need.
function(castellan_add_library NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS;PUBLIC_LINKS" ${ARGN})
  set(sources ${ARG_SOURCES})
  list(FILTER sources INCLUDE REGEX "\\.cpp$")
  if(NOT sources)
    list(APPEND ARG_SOURCES ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${NAME} STATIC ${ARG_SOURCES})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  castellan_room_include_dir(include_dir ${folder})
  target_include_directories(${NAME} PUBLIC ${include_dir})
  target_link_libraries(${NAME} PUBLIC ${ARG_PUBLIC_LINKS} PRIVATE ${ARG_LINKS})
endfunction()

# castellan_expose_folder(TARGET FOLDER): TARGET's own sources include "FOLDER/x.h".
function(castellan_expose_folder TARGET FOLDER)
  castellan_room_include_dir(include_dir ${FOLDER})
  target_include_directories(${TARGET} PRIVATE ${include_dir})
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
  castellan_expose_folder(${exe} tests)
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
  castellan_expose_folder(${exe} tests)
  target_compile_definitions(${exe} PRIVATE CASTELLAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME ${FOLDER}/${NAME} COMMAND ${exe})
endfunction()
