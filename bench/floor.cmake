# The floors bench/footprint sets the app against: tavrel-bench-widgets-floor, the app's widget
# tree and status icon without its logic, and tavrel-bench-floor, an empty 540 x 780 Qt window.
add_executable(tavrel-bench-widgets-floor widgets_floor.cpp)
target_link_libraries(tavrel-bench-widgets-floor PRIVATE tavrel_ui tavrel_options)
add_executable(tavrel-bench-floor bare_window.cpp)
target_link_libraries(tavrel-bench-floor PRIVATE Qt6::Widgets tavrel_options)
