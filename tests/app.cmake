# Start-up and the status menu: display rules, the menu, the single-instance rule of the real
# binary, and the installed desktop files.
tavrel_add_qtest(NAME tst_statusmenu SOURCES app/tst_statusmenu.cpp
    LIBS tavrel_ui tavrel_test_support LABELS app TIMEOUT 120)
tavrel_add_qtest(NAME tst_startup SOURCES app/tst_startup.cpp
    LIBS tavrel_ui tavrel_test_support LABELS app TIMEOUT 120)
target_compile_definitions(tst_startup PRIVATE TAVREL_AGENT_BINARY="$<TARGET_FILE:tavrel-agent>")
add_dependencies(tst_startup tavrel-agent)

if(UNIX AND NOT APPLE)
    add_test(NAME app_install
        COMMAND ${CMAKE_COMMAND} -DBINARY_DIR=${PROJECT_BINARY_DIR}
            -DBINDIR=${CMAKE_INSTALL_FULL_BINDIR} -DDATADIR=${CMAKE_INSTALL_FULL_DATADIR}
            -DAUTOSTART_DIR=${TAVREL_AUTOSTART_DIR}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/app/install_check.cmake)
    set_tests_properties(app_install PROPERTIES LABELS app TIMEOUT 120)
endif()
