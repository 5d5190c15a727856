# End-to-end tests of the real binaries (label e2e). Each starts its own Xvfb, stand-in server,
# sandbox and stand-in agent, so none needs a display from the environment; see tests/e2e/.
find_program(TAVREL_PYTHON3 python3)
find_program(TAVREL_XVFB Xvfb)
find_program(TAVREL_XDOTOOL xdotool)
find_program(TAVREL_TRAYER trayer)
find_program(TAVREL_DPKG_DEB dpkg-deb)
find_program(TAVREL_LINTIAN lintian)

set(_e2e ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
if(NOT TAVREL_PYTHON3)
    message(WARNING "python3 not found: the end-to-end tests are left out (scripts/deps installs it)")
    return()
endif()

function(tavrel_add_e2e name timeout)
    add_test(NAME ${name} COMMAND ${TAVREL_PYTHON3} ${ARGN})
    # The app must not inherit the offscreen platform that the unit tests use.
    set_tests_properties(${name} PROPERTIES LABELS e2e TIMEOUT ${timeout}
        ENVIRONMENT_MODIFICATION "QT_QPA_PLATFORM=unset:;DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
endfunction()

if(TAVREL_XVFB AND TAVREL_XDOTOOL AND TAVREL_TRAYER AND TARGET tavrel-agent-demo AND TARGET tavrel-mock-server)
    tavrel_add_e2e(e2e_lifecycle 240 ${_e2e}/test_lifecycle.py --app $<TARGET_FILE:tavrel-agent-demo>
        --server $<TARGET_FILE:tavrel-mock-server> --tray ${TAVREL_TRAYER})
else()
    message(WARNING "Xvfb, xdotool or trayer not found: the end-to-end UI tests are left out (scripts/deps installs them)")
endif()

# The screen-reader test reads the app through AT-SPI with Debian's pyatspi, which only the system's
# own Python has (another python3 may come first on PATH).
find_program(TAVREL_DBUS_RUN_SESSION dbus-run-session)
find_program(TAVREL_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
set(_pyatspi 1)
if(TAVREL_SYSTEM_PYTHON3)
    execute_process(COMMAND ${TAVREL_SYSTEM_PYTHON3} -c "import pyatspi" RESULT_VARIABLE _pyatspi
        OUTPUT_QUIET ERROR_QUIET)
endif()
if(TAVREL_XVFB AND TAVREL_DBUS_RUN_SESSION AND _pyatspi EQUAL 0 AND TARGET tavrel-agent-demo)
    block()
        set(TAVREL_PYTHON3 ${TAVREL_DBUS_RUN_SESSION} -- ${TAVREL_SYSTEM_PYTHON3})
        tavrel_add_e2e(e2e_a11y 120 ${_e2e}/test_a11y.py --app $<TARGET_FILE:tavrel-agent-demo>)
    endblock()
else()
    message(WARNING "dbus-run-session or pyatspi not found: the screen-reader test is left out (scripts/deps installs them)")
endif()

# The status icon on a real StatusNotifierItem host, lxqt-panel, read over the same private D-Bus
# session with the system Python's GLib bindings.
find_program(TAVREL_LXQT_PANEL lxqt-panel)
set(_gi 1)
if(TAVREL_SYSTEM_PYTHON3)
    execute_process(COMMAND ${TAVREL_SYSTEM_PYTHON3} -c "from gi.repository import Gio" RESULT_VARIABLE _gi
        OUTPUT_QUIET ERROR_QUIET)
endif()
if(TAVREL_XVFB AND TAVREL_DBUS_RUN_SESSION AND TAVREL_LXQT_PANEL AND _gi EQUAL 0 AND TARGET tavrel-agent-demo)
    block()
        set(TAVREL_PYTHON3 ${TAVREL_DBUS_RUN_SESSION} -- ${TAVREL_SYSTEM_PYTHON3})
        tavrel_add_e2e(e2e_sni 120 ${_e2e}/test_sni.py --app $<TARGET_FILE:tavrel-agent-demo>
            --panel ${TAVREL_LXQT_PANEL})
    endblock()
else()
    message(WARNING "dbus-run-session, lxqt-panel or python3-gi not found: the status-notifier test is left out (scripts/deps installs them)")
endif()

if(TAVREL_DPKG_DEB AND TAVREL_LINTIAN AND TARGET tavrel-agent)
    if(NOT DEFINED TAVREL_AUTOSTART_DIR)
        set(TAVREL_AUTOSTART_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)
    endif()
    tavrel_add_e2e(e2e_package 120 ${_e2e}/test_package.py --build-dir ${PROJECT_BINARY_DIR}
        --cpack ${CMAKE_CPACK_COMMAND} --autostart-dir ${TAVREL_AUTOSTART_DIR})
elseif(TARGET tavrel-agent)
    message(WARNING "dpkg-deb or lintian not found: the package test is left out (scripts/deps installs them)")
endif()

# The real pkexec and polkitd with our policy and helper (as root only; skipped elsewhere). It
# installs and starts system-wide things for its run, so it runs alone.
if(TARGET tavrel-agent-helper AND TAVREL_POLICY_FILE)
    add_test(NAME e2e_pkexec COMMAND ${TAVREL_PYTHON3} ${_e2e}/test_pkexec.py
        --helper $<TARGET_FILE:tavrel-agent-helper> --policy ${TAVREL_POLICY_FILE}
        --install-path ${TAVREL_HELPER_INSTALL_PATH})
    set_tests_properties(e2e_pkexec PROPERTIES LABELS "e2e;root" TIMEOUT 120 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
endif()

# The app's own polkit agent: the real pkexec, polkitd and polkit's helper, the packaged app as an
# administrator under Xvfb (as root only; skipped elsewhere). Like e2e_pkexec it runs alone.
if(TARGET tavrel-agent AND TARGET tavrel-agent-helper AND TAVREL_POLICY_FILE AND TAVREL_XVFB AND TAVREL_XDOTOOL)
    add_test(NAME e2e_own_agent COMMAND ${TAVREL_PYTHON3} ${_e2e}/test_own_agent.py
        --app $<TARGET_FILE:tavrel-agent> --helper $<TARGET_FILE:tavrel-agent-helper>
        --policy ${TAVREL_POLICY_FILE} --install-path ${TAVREL_HELPER_INSTALL_PATH})
    set_tests_properties(e2e_own_agent PROPERTIES LABELS "e2e;root" TIMEOUT 240 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE
        ENVIRONMENT_MODIFICATION "QT_QPA_PLATFORM=unset:;DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
endif()
