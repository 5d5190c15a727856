# The stand-in management server (demo and end-to-end tests).
add_executable(tavrel-mock-server mock_server.cpp)
target_link_libraries(tavrel-mock-server PRIVATE tavrel_core nlohmann_json::nlohmann_json PkgConfig::HTTPLIB
    tavrel_options)
