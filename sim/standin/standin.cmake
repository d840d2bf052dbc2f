# The main-firmware stand-in: cross-built by ExternalProject (target
# "standin_image") into build/firmware/standin.{bin,elf}, then packed with fwpack
# into build/firmware/standin-plain.fw and standin-lzo.fw (target "standin").
include(ExternalProject)
set(STANDIN_DIR ${CMAKE_CURRENT_LIST_DIR})
set(STANDIN_LOAD_ADDRESS 0xA0200000)

ExternalProject_Add(standin_image
  SOURCE_DIR ${STANDIN_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/standin-build
  CMAKE_GENERATOR ${CMAKE_GENERATOR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/arm-none-eabi.cmake
    -DQUELMARK_FIRMWARE_DIR=${QUELMARK_FIRMWARE_DIR}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${QUELMARK_FIRMWARE_DIR}/standin.bin ${QUELMARK_FIRMWARE_DIR}/standin.elf)

if(TARGET fwpack)
  set(standin_bin ${QUELMARK_FIRMWARE_DIR}/standin.bin)
  add_custom_command(
    OUTPUT ${QUELMARK_FIRMWARE_DIR}/standin-plain.fw ${QUELMARK_FIRMWARE_DIR}/standin-lzo.fw
    COMMAND fwpack --plain --load-address ${STANDIN_LOAD_ADDRESS} ${standin_bin} ${QUELMARK_FIRMWARE_DIR}/standin-plain.fw
    COMMAND fwpack --lzo --load-address ${STANDIN_LOAD_ADDRESS} ${standin_bin} ${QUELMARK_FIRMWARE_DIR}/standin-lzo.fw
    DEPENDS fwpack standin_image ${standin_bin}
    COMMENT "Packing the main-firmware stand-in"
    VERBATIM)
  add_custom_target(standin ALL
    DEPENDS ${QUELMARK_FIRMWARE_DIR}/standin-plain.fw ${QUELMARK_FIRMWARE_DIR}/standin-lzo.fw)

  include(QuelmarkTests)
  quelmark_add_tests(DIR ${STANDIN_DIR}/tests LIBS quelmark_fwimage)
  if(TARGET standin_test)
    add_dependencies(standin_test standin)
    # With Unicorn, the test also runs the stand-in on an emulated ARM core.
    find_library(UNICORN_LIBRARY unicorn)
    find_path(UNICORN_INCLUDE_DIR unicorn/unicorn.h)
    if(UNICORN_LIBRARY AND UNICORN_INCLUDE_DIR)
      target_include_directories(standin_test SYSTEM PRIVATE ${UNICORN_INCLUDE_DIR})
      target_link_libraries(standin_test PRIVATE ${UNICORN_LIBRARY})
      target_compile_definitions(standin_test PRIVATE STANDIN_WITH_UNICORN=1)
    endif()
  endif()
endif()
