# The firmware image as part of the one top-level build: target/ is its own
# CMake project with the arm-none-eabi toolchain, built by ExternalProject into
# ${QUELMARK_FIRMWARE_DIR}: bootloader.bin (flat image), bootloader.elf, .map.
# BUILD_ALWAYS runs the inner build each time; its ninja is incremental, so a
# changed source rebuilds the image and nothing else does.
include(ExternalProject)

set(LZO_SOURCE_DIR ${CMAKE_SOURCE_DIR}/.deps/lzo2 CACHE PATH "LZO 2.10 source tree (Debian lzo2)")

ExternalProject_Add(firmware
  SOURCE_DIR ${BL_DIR}/target
  BINARY_DIR ${CMAKE_BINARY_DIR}/firmware-build
  CMAKE_GENERATOR ${CMAKE_GENERATOR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/arm-none-eabi.cmake
    -DQUELMARK_FIRMWARE_DIR=${QUELMARK_FIRMWARE_DIR}
    -DLZO_SOURCE_DIR=${LZO_SOURCE_DIR}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS
    ${QUELMARK_FIRMWARE_DIR}/bootloader.bin
    ${QUELMARK_FIRMWARE_DIR}/bootloader.elf
    ${QUELMARK_FIRMWARE_DIR}/bootloader.map
  USES_TERMINAL_BUILD ON)

# The image test reads the built image: building it builds the image first. The
# test target is made after this file is included, hence the deferred call.
function(_bl_firmware_test_deps)
  if(TARGET image_layout_test)
    add_dependencies(image_layout_test firmware)
  endif()
endfunction()
cmake_language(DEFER CALL _bl_firmware_test_deps)
