# Start-up and the status menu, with the single-instance rule of the real binary. The installed
# desktop files are checked by the package test (e2e_package).
tavrel_add_qtest(NAME tst_app SOURCES app/tst_app.cpp
    LIBS tavrel_ui tavrel_test_support LABELS app TIMEOUT 120)
target_compile_definitions(tst_app PRIVATE TAVREL_AGENT_BINARY="$<TARGET_FILE:tavrel-agent>")
add_dependencies(tst_app tavrel-agent)
