# flash-bench (build/bin/flash-bench): flash cycles per write against the minimum.
# Included from sim/CMakeLists.txt.
add_executable(flash-bench ${CMAKE_CURRENT_LIST_DIR}/bench/flash_bench.cpp)
target_link_libraries(flash-bench PRIVATE sim_board sim_devices bl_host)
