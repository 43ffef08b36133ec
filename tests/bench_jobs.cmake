# The suites of the bench jobs: their devices on the board (tests/board),
# their analysis (tests/core), and both together in-process.
snt_suite(bench_board_test core/bench_board_test.cpp)
target_link_libraries(bench_board_test PRIVATE snt_bench_analysis snt_rf_devices)
snt_suite(rf_devices_test board/rf_devices_test.cpp)
target_link_libraries(rf_devices_test PRIVATE snt_rf_devices)
snt_suite(bench_analysis_test core/bench_analysis_test.cpp)
target_link_libraries(bench_analysis_test PRIVATE snt_bench_analysis)
