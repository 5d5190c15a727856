# The main window: display rules, layout, status panel, service buttons, setup sheet, log pane.
tavrel_add_qtest(NAME tst_mainwindow_display SOURCES mainwindow/tst_display.cpp
    LIBS tavrel_ui LABELS ui)
tavrel_add_qtest(NAME tst_mainwindow SOURCES mainwindow/tst_window.cpp
    LIBS tavrel_ui tavrel_test_support LABELS ui TIMEOUT 120)
tavrel_add_qtest(NAME tst_mainwindow_logpane SOURCES mainwindow/tst_logpane.cpp
    LIBS tavrel_ui tavrel_test_support LABELS ui TIMEOUT 120)
