# Cross toolchain for the boot-loader image: Debian's gcc-arm-none-eabi, code for
# the PXA25x's XScale core (ARMv5TE), ARM instructions only, no C library.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "objcopy for the flat image")
set(CMAKE_SIZE arm-none-eabi-size CACHE FILEPATH "size for the build's figures")

# The compiler cannot link a test program without our linker script.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# -fno-delete-null-pointer-checks: address 0 is real memory here (the vector
# table, memory reads of command 111, the restart jump).
set(_bl_common "-mcpu=xscale -marm -mfloat-abi=soft -Os -g -ffreestanding \
-ffunction-sections -fdata-sections -fno-common -fno-delete-null-pointer-checks \
-fno-strict-aliasing -Wall -Wextra")
set(CMAKE_C_FLAGS_INIT "${_bl_common}")
set(CMAKE_CXX_FLAGS_INIT "${_bl_common} -fno-exceptions -fno-rtti -fno-threadsafe-statics \
-fno-use-cxa-atexit -fno-unwind-tables -fno-asynchronous-unwind-tables")
set(CMAKE_ASM_FLAGS_INIT "-mcpu=xscale -marm")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -nostartfiles -Wl,--gc-sections -Wl,--no-warn-rwx-segments")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
