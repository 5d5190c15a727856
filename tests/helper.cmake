# The root helper as a child process: its refusals, and kills at any moment (its writes are checked
# through the core's backends in tst_core).
tavrel_add_qtest(NAME tst_helper SOURCES helper/tst_helper.cpp LIBS tavrel_test_support LABELS core TIMEOUT 180)
