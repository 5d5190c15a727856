# tavrel-bench-mainwindow: a log-pane tick with 10,000 new lines, and one after a 1 GiB burst. Run by hand.
add_executable(tavrel-bench-mainwindow bench_mainwindow.cpp)
target_link_libraries(tavrel-bench-mainwindow PRIVATE tavrel_ui tavrel_bench_support tavrel_options)
