# tavrel-bench-mainwindow: one refresh tick that finds 10,000 new log lines. Run by hand.
add_executable(tavrel-bench-mainwindow bench_mainwindow.cpp)
target_link_libraries(tavrel-bench-mainwindow PRIVATE tavrel_ui tavrel_options)
