# The management server client against a real HTTP(S) server in the test process.
tavrel_add_qtest(NAME tst_apiclient
    SOURCES api/tst_apiclient.cpp support/StubServer.cpp
    LIBS tavrel_api PkgConfig::HTTPLIB
    LABELS api
    TIMEOUT 120)
