# `cmake --install` (and `make install PREFIX=...`): the two tools, the
# firmware module snt-sim loads from beside itself, the chip image when it
# has been built, and the manual pages.
include(GNUInstallDirs)

# snt-sim finds libsnt_fw.so next to its own executable.
install(TARGETS snt snt-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS snt_fw LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/snt.1 ${PROJECT_SOURCE_DIR}/docs/snt-sim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The image comes from the chip build, a separate cross build.
set(SNT_CHIP_IMAGE_DIR ${PROJECT_SOURCE_DIR}/build/chip/firmware)
install(FILES ${SNT_CHIP_IMAGE_DIR}/snt-fw.elf ${SNT_CHIP_IMAGE_DIR}/snt-fw.bin ${SNT_CHIP_IMAGE_DIR}/snt-fw.hex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/snt OPTIONAL)
