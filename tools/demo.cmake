# The same app on a sandbox rooted at a directory given on the command line.
add_executable(tavrel-agent-demo demo_main.cpp)
target_link_libraries(tavrel-agent-demo PRIVATE tavrel_ui)
