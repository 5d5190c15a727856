# Start-up with the real binary: where the single-instance lock lives, and the single-instance rule.
# The installed desktop files are checked by the package test (e2e_package).
tavrel_add_qtest(NAME tst_app SOURCES app/tst_app.cpp LABELS app TIMEOUT 120)
target_compile_definitions(tst_app PRIVATE TAVREL_AGENT_BINARY="$<TARGET_FILE:tavrel-agent>")
add_dependencies(tst_app tavrel-agent)
