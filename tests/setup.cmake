# The Setup / Settings sheet: its layout and normalisation rules, and its flows driven through the
# widgets against a real HTTP server in the test process, on a sandboxed agent installation.
tavrel_add_qtest(NAME tst_setupsheet
    SOURCES setup/tst_setupsheet.cpp
    LIBS tavrel_ui tavrel_test_support
    LABELS ui setup
    TIMEOUT 120)

tavrel_add_qtest(NAME tst_setupflows
    SOURCES setup/tst_setupflows.cpp
    LIBS tavrel_ui tavrel_test_support PkgConfig::HTTPLIB
    LABELS ui setup
    TIMEOUT 180)
