# The native runner quelmark-sim (build/bin/quelmark-sim) and its benchmark
# quelmark-sim-bench. The runner's pieces (bridge, pseudo-terminal, options,
# panel log) form sim_runner, which the runner tests link too.
set(SIM_RUNNER_DIR ${CMAKE_CURRENT_SOURCE_DIR}/runner)
add_library(sim_runner STATIC
  ${SIM_RUNNER_DIR}/bridge.cpp
  ${SIM_RUNNER_DIR}/options.cpp
  ${SIM_RUNNER_DIR}/panel_log.cpp
  ${SIM_RUNNER_DIR}/pty.cpp)
target_include_directories(sim_runner PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(sim_runner PRIVATE -Wall -Wextra)

add_executable(quelmark-sim ${SIM_RUNNER_DIR}/main.cpp)
target_link_libraries(quelmark-sim PRIVATE sim_runner sim_board sim_engine_arm sim_devices bl_host quelmark_platform)
target_compile_options(quelmark-sim PRIVATE -Wall -Wextra)
# A new flash file gets the built image (build/firmware/bootloader.bin).
if(TARGET firmware)
  add_dependencies(quelmark-sim firmware)
endif()

if(EXISTS ${SIM_RUNNER_DIR}/bench.cpp)
  add_executable(quelmark-sim-bench ${SIM_RUNNER_DIR}/bench.cpp)
  target_link_libraries(quelmark-sim-bench PRIVATE sim_runner quelmark_platform)
  add_dependencies(quelmark-sim-bench quelmark-sim)
endif()

# The runner tests (sim/tests/runner_*_test.cpp) are made by the test glob after
# this file; link them to sim_runner and have them build quelmark-sim first.
function(_sim_runner_wire_tests)
  file(GLOB runner_tests ${CMAKE_CURRENT_SOURCE_DIR}/tests/runner_*_test.cpp)
  foreach(src ${runner_tests})
    get_filename_component(name ${src} NAME_WE)
    if(TARGET ${name})
      target_link_libraries(${name} PRIVATE sim_runner)
      add_dependencies(${name} quelmark-sim)
      if(name MATCHES "vordlix" AND TARGET vordlix)
        target_link_libraries(${name} PRIVATE vordlix)
      endif()
    endif()
  endforeach()
endfunction()
cmake_language(DEFER CALL _sim_runner_wire_tests)
