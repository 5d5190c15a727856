# The Setup / Settings sheet: its normalisation rules, its layout and its flows, driven through its
# widgets on a sandboxed agent installation against a real HTTP server in the test process.
tavrel_add_qtest(NAME tst_setupsheet
    SOURCES setup/tst_setupsheet.cpp support/StubServer.cpp
    LIBS tavrel_ui tavrel_test_support PkgConfig::HTTPLIB
    LABELS ui setup
    TIMEOUT 180)
