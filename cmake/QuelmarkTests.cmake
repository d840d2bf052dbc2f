# quelmark_add_tests(DIR dir LIBS lib... [DEPENDS target...]): every DIR/*_test.cpp
# becomes one GoogleTest executable (named after the file) linked with LIBS, whose
# cases CTest lists one by one. DEPENDS names programs the tests run, built first.
include(GoogleTest)
function(quelmark_add_tests)
  cmake_parse_arguments(QT "" "DIR" "LIBS;DEPENDS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${QT_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${QT_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
    if(QT_DEPENDS)
      add_dependencies(${name} ${QT_DEPENDS})
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
      PROPERTIES ENVIRONMENT "QUELMARK_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endforeach()
endfunction()
