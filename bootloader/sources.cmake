# The boot loader's logic, compiled for the target (firmware build) and for the
# host (bl_host, run against device models) from these same files.
# Set BL_DIR to this folder before including.
file(GLOB BL_LOGIC_SOURCES CONFIGURE_DEPENDS
  ${BL_DIR}/*.cpp
  ${BL_DIR}/boot/*.cpp
  ${BL_DIR}/protocol/*.cpp
  ${BL_DIR}/flash/*.cpp
  ${BL_DIR}/net/*.cpp
  ${BL_DIR}/serial/*.cpp
  ${BL_DIR}/runtime/heap.cpp)
# Target only: volatile hardware access, memcpy & co., start-up code, and the
# wire formats' checksum (the host build links the wire library instead).
file(GLOB BL_TARGET_SOURCES CONFIGURE_DEPENDS
  ${BL_DIR}/../wire/checksum.cpp
  ${BL_DIR}/hw/hw_target.cpp
  ${BL_DIR}/runtime/mem.cpp
  ${BL_DIR}/start/*.S
  ${BL_DIR}/start/*.cpp)
# Host only: the hardware-access layer over a Board of device models.
set(BL_HOST_SOURCES ${BL_DIR}/hw/hw_host.cpp)
