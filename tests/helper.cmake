# The root helper as a child process: its refusals, its writes, and kills at any moment.
tavrel_add_qtest(NAME tst_helper SOURCES helper/tst_helper.cpp LIBS tavrel_test_support LABELS core TIMEOUT 180)
