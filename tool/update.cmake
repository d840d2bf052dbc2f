# The updater launch (uOEM_update.cpp): included by tool/CMakeLists.txt after
# tool_model and quelmark-config are defined. Adds the launch to the model, puts
# the built qvebupd into quelmark-config as its resource "QVEBUPD", and registers
# the launch tests (tests/launch_*_test.cpp) with a stand-in updater.
include(Embed)
target_sources(tool_model PRIVATE ${CMAKE_CURRENT_LIST_DIR}/uOEM_update.cpp)

# The updater as it ships: the built program without its debugging information.
if(TARGET qvebupd)
  set(shipped_updater ${CMAKE_CURRENT_BINARY_DIR}/qvebupd.shipped)
  if(CMAKE_STRIP)
    add_custom_command(OUTPUT ${shipped_updater}
      COMMAND ${CMAKE_STRIP} --strip-all -o ${shipped_updater} $<TARGET_FILE:qvebupd>
      DEPENDS qvebupd VERBATIM)
  else()
    add_custom_command(OUTPUT ${shipped_updater}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:qvebupd> ${shipped_updater}
      DEPENDS qvebupd VERBATIM)
  endif()
  add_custom_target(qvebupd_shipped DEPENDS ${shipped_updater})
  quelmark_embed(TARGET quelmark-config NAME QVEBUPD FILE ${shipped_updater} DEPENDS qvebupd_shipped)
endif()

# The stand-in updater: records its arguments, then ends as it is told.
add_executable(launch_stand_in ${CMAKE_CURRENT_LIST_DIR}/tests/launch_stand_in.c)
set_target_properties(launch_stand_in PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

# Launch tests: launch_stand_in_test carries the stand-in as its "QVEBUPD";
# launch_without_resource_test carries none; launch_qvebupd_test carries the real
# qvebupd and runs it against the library's test peer.
if(TARGET launch_stand_in_test)
  quelmark_embed(TARGET launch_stand_in_test NAME QVEBUPD FILE $<TARGET_FILE:launch_stand_in>
                 DEPENDS launch_stand_in)
endif()
if(TARGET launch_qvebupd_test)
  if(TARGET qvebupd AND TARGET vordlix_testpeer)
    quelmark_embed(TARGET launch_qvebupd_test NAME QVEBUPD FILE ${shipped_updater} DEPENDS qvebupd_shipped)
    target_link_libraries(launch_qvebupd_test PRIVATE vordlix_testpeer)
  else()
    target_compile_definitions(launch_qvebupd_test PRIVATE LAUNCH_NO_QVEBUPD=1)
  endif()
endif()
