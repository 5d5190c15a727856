# tavrel-bench-floor: an empty 540 x 780 Qt window, the floor bench/footprint sets the app against.
add_executable(tavrel-bench-floor bare_window.cpp)
target_link_libraries(tavrel-bench-floor PRIVATE Qt6::Widgets tavrel_options)
