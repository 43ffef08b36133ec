# The host build: the firmware as a loadable module for the virtual board.
# Every board loads its own copy, so each run starts from the reset state of
# every global, exactly as the chip does.
add_library(snt_fw MODULE ${FW_SOURCES} platform/host/host_platform.cpp)
target_include_directories(snt_fw PRIVATE Src platform/host platform/common)
target_compile_options(snt_fw PRIVATE ${FW_FLAGS})
target_link_libraries(snt_fw PRIVATE snt_protocol snt_warnings)
# References inside the module bind to the module itself (its main, its
# globals), never to a same-named symbol of the program that loads it.
target_link_options(snt_fw PRIVATE -Wl,-Bsymbolic -Wl,--no-undefined)

# What the board needs to talk to the module.
add_library(snt_fw_port INTERFACE)
target_include_directories(snt_fw_port INTERFACE platform/host)
