# The management server client against a real HTTP(S) server in the test process, and the
# stand-in server as a real child process.
tavrel_add_qtest(NAME tst_apiclient
    SOURCES api/tst_apiclient.cpp
    LIBS PkgConfig::HTTPLIB nlohmann_json::nlohmann_json
    LABELS api
    TIMEOUT 120)

if(TARGET tavrel-mock-server)
    tavrel_add_qtest(NAME tst_mockserver
        SOURCES api/tst_mockserver.cpp
        LIBS PkgConfig::HTTPLIB nlohmann_json::nlohmann_json
        LABELS api
        TIMEOUT 120)
    target_compile_definitions(tst_mockserver PRIVATE
        TAVREL_MOCK_SERVER="$<TARGET_FILE:tavrel-mock-server>")
    add_dependencies(tst_mockserver tavrel-mock-server)
endif()
