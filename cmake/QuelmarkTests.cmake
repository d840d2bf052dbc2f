# quelmark_add_tests(DIR dir LIBS lib...): every DIR/*_test.cpp becomes one
# GoogleTest executable (named after the file) whose cases CTest lists one by one.
include(GoogleTest)
function(quelmark_add_tests)
  cmake_parse_arguments(QT "" "DIR" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${QT_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${QT_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
      PROPERTIES ENVIRONMENT "QUELMARK_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endforeach()
endfunction()
