# The main window: layout, display rules, status panel, service buttons, setup sheet, log pane.
tavrel_add_qtest(NAME tst_mainwindow SOURCES mainwindow/tst_window.cpp
    LIBS tavrel_ui tavrel_test_support LABELS ui TIMEOUT 120)
