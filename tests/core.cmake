# Core library tests: real files in sandboxes, real child processes, and stand-ins for osascript
# and pkexec (core/standins) that behave like the real tools.
tavrel_add_qtest(NAME tst_core SOURCES core/tst_core.cpp LIBS tavrel_test_support LABELS core TIMEOUT 120)
