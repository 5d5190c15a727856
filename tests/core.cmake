# Core library tests: real files in sandboxes, real child processes, and stand-ins for osascript
# and pkexec (tests/core/standins) that behave like the real tools.
add_library(tavrel_core_test_support STATIC core/CoreTestSupport.h core/CoreTestSupport.cpp)
target_link_libraries(tavrel_core_test_support PUBLIC tavrel_test_support)
target_compile_definitions(tavrel_core_test_support PRIVATE
    TAVREL_STANDINS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/core/standins")

foreach(area shell config logger systeminfo)
    tavrel_add_qtest(NAME tst_${area} SOURCES core/tst_${area}.cpp
        LIBS tavrel_core_test_support LABELS core TIMEOUT 120)
endforeach()
