# Debian package of the companion (scripts/package): what Tavrel_Agent/CMakeLists.txt installs,
# that is the binary, its .desktop entry, the autostart entry and the icon.
# CPack installs through the "preinstall" target, which would otherwise build every test and
# benchmark first; the package needs only the app, which scripts/package builds beforehand.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tavrel")
set(CPACK_PACKAGE_CONTACT "Tavrel Agent maintainers <agent-maintainers@tavrel.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop companion of the Tavrel monitoring agent")
set(CPACK_PACKAGE_DESCRIPTION "Shows from the system tray whether the Tavrel agent service is running,
and stops or restarts it. Its window shows this computer's agent identity,
starts and stops the service, follows the agent's activity log, and
registers the computer with the Tavrel management server.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tavrel-agent)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# pkexec asks for the administrator password before every change to the agent's service or files;
# dpkg-shlibdeps adds the Qt, C and C++ libraries the programs link, each once.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pkexec")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.tavrel.com/")

# The autostart entry lies under /etc: mark it as a configuration file, so that an administrator's
# edit (or removal, to stop the status icon at login) survives upgrades.
if(NOT DEFINED TAVREL_AUTOSTART_DIR)
    set(TAVREL_AUTOSTART_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)
endif()
if(TAVREL_AUTOSTART_DIR MATCHES "^/etc/")
    set(_tavrel_conffiles ${CMAKE_BINARY_DIR}/debian/conffiles)
    file(WRITE ${_tavrel_conffiles} "${TAVREL_AUTOSTART_DIR}/tavrel-agent-autostart.desktop\n")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_tavrel_conffiles})
endif()

# Debian's documentation files: the copyright notice and the changelog of a native package.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tavrel-agent)

# "make package_source": the sources only, never the build folders inside the tree.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/" "/out/" "__pycache__" "\\\\.pyc$")

include(CPack)
