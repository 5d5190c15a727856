# tavrel-bench-core: status refresh, lastLines(80) on a 1 GiB log, tail over 1 MiB of new lines.
# Run by hand (commands at the top of bench_core.cpp).
add_executable(tavrel-bench-core bench_core.cpp)
target_link_libraries(tavrel-bench-core PRIVATE tavrel_core tavrel_test_support benchmark::benchmark tavrel_bench_support tavrel_options)
target_include_directories(tavrel-bench-core PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
