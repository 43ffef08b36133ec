# The STM32F030x6 image: snt-fw.elf plus .bin/.hex, linked with picolibc and
# our own start-up code and linker script.

set(SNT_CHIP_LD_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/platform/stm32f030/stm32f030x6.ld)
set(SNT_CHIP_DIR ${CMAKE_CURRENT_BINARY_DIR})

# The firmware formats its numbers itself (level_text) and calls no printf.
# Should one come back, it gets only the integer printf/scanf of picolibc:
# given at compile time for the headers and at link time, where the picolibc
# driver options turn it into --defsym=vfprintf=__i_vfprintf (about 6.8 KB
# smaller than the default floating-point vfprintf).
set(SNT_CHIP_PRINTF -DPICOLIBC_INTEGER_PRINTF_SCANF)

# Our single-precision helpers (__aeabi_fadd, _fsub, _fmul, _i2f, _ui2f) in
# Thumb-1 assembly. An object of the link, they come before libgcc, whose
# slower versions are then never pulled in.
set(SNT_CHIP_SOFT_FLOAT ${CMAKE_CURRENT_SOURCE_DIR}/platform/stm32f030/soft_float.S)

set(SNT_CHIP_CPU_FLAGS -mcpu=cortex-m0 -mthumb)

add_executable(snt-fw
  ${FW_SOURCES}
  ${CMAKE_CURRENT_SOURCE_DIR}/startup_stm32f030x6.cpp
  ${SNT_CHIP_SOFT_FLOAT}
)
set_target_properties(snt-fw PROPERTIES
  SUFFIX ".elf"
  # Link through the C driver: g++ would add -lstdc++ (built for newlib);
  # the firmware needs nothing from the C++ library.
  LINKER_LANGUAGE C
  LINK_DEPENDS ${SNT_CHIP_LD_SCRIPT}
  ADDITIONAL_CLEAN_FILES ${SNT_CHIP_DIR}/snt-fw.map
)

target_link_libraries(snt-fw PRIVATE snt_protocol snt_warnings)
target_include_directories(snt-fw PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/Src
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/stm32f030
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/common
)

target_compile_options(snt-fw PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${FW_FLAGS}>
  -Os
  -ffunction-sections
  -fdata-sections
  ${SNT_CHIP_CPU_FLAGS}
  --specs=picolibc.specs
  ${SNT_CHIP_PRINTF}
)

target_link_options(snt-fw PRIVATE
  ${SNT_CHIP_CPU_FLAGS}
  -nostartfiles
  --specs=picolibc.specs
  ${SNT_CHIP_PRINTF}
  # As a driver option (not -Wl,-T) so picolibc leaves out its default script.
  -T${SNT_CHIP_LD_SCRIPT}
  -Wl,--gc-sections
  -Wl,-Map=${SNT_CHIP_DIR}/snt-fw.map
  -Wl,--print-memory-usage
)

add_custom_command(TARGET snt-fw POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} -O binary $<TARGET_FILE:snt-fw> ${SNT_CHIP_DIR}/snt-fw.bin
  COMMAND ${CMAKE_OBJCOPY} -O ihex $<TARGET_FILE:snt-fw> ${SNT_CHIP_DIR}/snt-fw.hex
  COMMAND ${CMAKE_SIZE} $<TARGET_FILE:snt-fw>
  BYPRODUCTS ${SNT_CHIP_DIR}/snt-fw.bin ${SNT_CHIP_DIR}/snt-fw.hex
  COMMENT "snt-fw: writing snt-fw.bin and snt-fw.hex"
  VERBATIM
)

# Layout of the linked image: vector table, stack placement, flash/RAM limits.
add_test(NAME chip_image_layout
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/chip/check_image.sh
          $<TARGET_FILE:snt-fw> ${CMAKE_READELF} ${CMAKE_NM}
)
