# The same app on a sandbox rooted at a directory given on the command line.
add_executable(tavrel-agent-demo demo_main.cpp)
target_link_libraries(tavrel-agent-demo PRIVATE tavrel_ui)
# The sandbox's root operations run the helper built here, unprivileged.
target_compile_definitions(tavrel-agent-demo PRIVATE TAVREL_HELPER="$<TARGET_FILE:tavrel-agent-helper>")
add_dependencies(tavrel-agent-demo tavrel-agent-helper)
