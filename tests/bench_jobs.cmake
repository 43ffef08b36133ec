# The suites of the bench jobs: their devices on the board (tests/board),
# their analysis (tests/core), and both together in-process.
snt_suite(bench_board_test core/bench_board_test.cpp)
target_link_libraries(bench_board_test PRIVATE snt_bench_analysis snt_rf_devices)
foreach(suite rf_devices one_port_file bench_dut_text)
  snt_suite(${suite}_test board/${suite}_test.cpp)
  target_link_libraries(${suite}_test PRIVATE snt_rf_devices)
endforeach()
snt_suite(bench_analysis_test core/bench_analysis_test.cpp)
target_link_libraries(bench_analysis_test PRIVATE snt_bench_analysis)
