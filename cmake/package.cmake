# SPDX-License-Identifier: GPL-2.0-or-later
# Installation and the Debian packages `cpack` makes from one build:
#   kestrel      the program with its window module (needs Qt 6)
#   kestrel-nox  the same program for the console only, without Qt, for servers
# Either replaces the other. Both carry the manual, the examples, the systemd
# units, the first-hour guide, the copyright and the changelog; the desktop entry and the icon come
# with the window only. A plain `cmake --install` installs kestrel.
include(GNUInstallDirs)

# Debian keeps the manual and the changelog gzip-compressed, without a time
# stamp so that the packages come out the same every time.
find_program(KESTREL_GZIP gzip REQUIRED)
set(KESTREL_COMPRESSED_DIR ${PROJECT_BINARY_DIR}/compressed)
set(KESTREL_MANUAL_GZ ${KESTREL_COMPRESSED_DIR}/kestrel.1.gz)
set(KESTREL_CHANGELOG_GZ ${KESTREL_COMPRESSED_DIR}/changelog.gz)
add_custom_command(OUTPUT ${KESTREL_MANUAL_GZ} ${KESTREL_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTREL_COMPRESSED_DIR}
  COMMAND ${KESTREL_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/share/man/kestrel.1 > ${KESTREL_MANUAL_GZ}
  COMMAND ${KESTREL_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/share/doc/changelog > ${KESTREL_CHANGELOG_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/share/man/kestrel.1 ${PROJECT_SOURCE_DIR}/share/doc/changelog
  VERBATIM)
add_custom_target(kestrel_compressed_docs ALL DEPENDS ${KESTREL_MANUAL_GZ} ${KESTREL_CHANGELOG_GZ})

# What every package carries: the program, its manual, the examples, the
# systemd units, the sysop's first-hour guide (README) and the package's own
# copyright and changelog.
function(kestrel_package_files component package program)
  set(options COMPONENT ${component} ${ARGN})
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} ${options})
  install(FILES ${KESTREL_MANUAL_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 ${options})
  install(DIRECTORY share/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/examples
          ${options})
  install(DIRECTORY share/systemd/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/systemd
          ${options})
  install(FILES share/doc/copyright share/doc/README ${KESTREL_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} ${options})
endfunction()

if(TARGET kestrel_window)
  kestrel_package_files(gui kestrel kestrel)
  install(TARGETS kestrel_window LIBRARY DESTINATION ${KESTREL_WINDOW_MODULE_DIR} COMPONENT gui)
  install(FILES share/applications/kestrel.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES share/icons/kestrel.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT gui)
  # Its /usr/bin/kestrel would overwrite the window's in a plain install.
  kestrel_package_files(nox kestrel-nox kestrel_nox EXCLUDE_FROM_ALL)
  set(CPACK_COMPONENTS_ALL gui nox)
elseif(TARGET kestrel)
  # Built without the window: the program is the console one.
  kestrel_package_files(nox kestrel-nox kestrel)
  set(CPACK_COMPONENTS_ALL nox)
endif()

set(KESTREL_PACKAGE_ABOUT [=[
Kestrel is for a FidoNet system whose links are reached by e-mail rather
than by a mailer-to-mailer session. It looks through the mailer's
BinkleyTerm-style outbound, its netmail directory and the VFIDO lists, and
mails each file waiting for a redirected node over SMTP as a MIME message
with a BASE64 attachment. The mailer's files are updated only once the
server has accepted the message. It fetches mail from a POP3 mailbox, takes
the messages its filters accept and decodes their attachments into the
FidoNet inbound, deleting a message on the server only after all of it was
written. SMTP and POP3 may run over TLS.

It runs unattended from cron or a systemd timer (sample units are in
/usr/share/kestrel/systemd), can poll at fixed intervals and can dial and
hang up a dial-up connection around its work.
]=])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kestrel developers <kestrel@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE kestrel)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# OpenSSL is loaded on first use (TLS, message identifiers), so the
# library scan does not see it. libcurl carries the OAuth 2.0 token requests
# (the scan finds it too; named here so that it is never left out).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, libcurl4")

# Both make /var/lib/kestrel, the home of a user without one, and keep it
# when purged unless it is empty.
set(KESTREL_MAINTAINER_SCRIPTS ${PROJECT_SOURCE_DIR}/share/debian/postinst
                               ${PROJECT_SOURCE_DIR}/share/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_GUI_PACKAGE_CONTROL_EXTRA ${KESTREL_MAINTAINER_SCRIPTS})
set(CPACK_DEBIAN_NOX_PACKAGE_CONTROL_EXTRA ${KESTREL_MAINTAINER_SCRIPTS})

set(CPACK_DEBIAN_GUI_PACKAGE_NAME kestrel)
set(CPACK_DEBIAN_GUI_DESCRIPTION "Gateway that carries FidoNet mail over Internet e-mail
${KESTREL_PACKAGE_ABOUT}
This package has the Qt 6 window beside the console. For a server without
a desktop, kestrel-nox is the same program without the window and Qt.")

set(CPACK_DEBIAN_NOX_PACKAGE_NAME kestrel-nox)
set(CPACK_DEBIAN_NOX_PACKAGE_PROVIDES kestrel)
set(CPACK_DEBIAN_NOX_PACKAGE_CONFLICTS kestrel)
set(CPACK_DEBIAN_NOX_PACKAGE_REPLACES kestrel)
set(CPACK_DEBIAN_NOX_DESCRIPTION "Gateway that carries FidoNet mail over Internet e-mail, console only
${KESTREL_PACKAGE_ABOUT}
This package is the console program alone, without the window and without
Qt, for servers. The kestrel package adds the window.")
include(CPack)
