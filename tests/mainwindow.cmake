# The main window and the status menu: service buttons, setup sheet, log pane, accessibility, and the
# delegate without a system tray.
tavrel_add_qtest(NAME tst_mainwindow SOURCES mainwindow/tst_window.cpp
    LIBS tavrel_ui tavrel_test_support LABELS ui TIMEOUT 120)
