# Cross toolchain for the STM32F030 image: the distribution's arm-none-eabi GCC
# (bare metal, no operating system). The C library (picolibc) is selected by
# the firmware's own build files (firmware/chip.cmake).

set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(SNT_TOOLCHAIN_PREFIX arm-none-eabi-)

find_program(SNT_ARM_GCC ${SNT_TOOLCHAIN_PREFIX}gcc REQUIRED)
find_program(SNT_ARM_GXX ${SNT_TOOLCHAIN_PREFIX}g++ REQUIRED)

set(CMAKE_C_COMPILER   ${SNT_ARM_GCC})
set(CMAKE_CXX_COMPILER ${SNT_ARM_GXX})
set(CMAKE_ASM_COMPILER ${SNT_ARM_GCC})

# No operating system to link a test program against: compiler checks build
# static libraries instead of executables.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Cortex-M0: ARMv6-M, Thumb only, no FPU.
set(SNT_CPU_FLAGS "-mcpu=cortex-m0 -mthumb")
set(CMAKE_C_FLAGS_INIT   "${SNT_CPU_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${SNT_CPU_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "${SNT_CPU_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${SNT_CPU_FLAGS}")

# Binary utilities used after the link (image files, size report, checks).
find_program(CMAKE_OBJCOPY ${SNT_TOOLCHAIN_PREFIX}objcopy REQUIRED)
find_program(CMAKE_SIZE    ${SNT_TOOLCHAIN_PREFIX}size    REQUIRED)
find_program(CMAKE_READELF ${SNT_TOOLCHAIN_PREFIX}readelf REQUIRED)
find_program(CMAKE_NM      ${SNT_TOOLCHAIN_PREFIX}nm      REQUIRED)
find_program(CMAKE_OBJDUMP ${SNT_TOOLCHAIN_PREFIX}objdump REQUIRED)

# Programs come from the build machine; headers and libraries never do.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
