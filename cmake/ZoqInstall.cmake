# What `cmake --install` puts on a machine, and the Debian package built from
# it (`./dev package`, CPack). Included last, once every program target exists.
#
# The desktop entry and the zoq-tray manual start zoq-tray, so they are
# installed only with it: an entry whose program is missing would sit in the
# applications menu and do nothing.
include(GNUInstallDirs)

# Installing and packaging take what is built and never build themselves: the
# package test runs inside ctest, where a build would race the other tests,
# and `./dev package` builds first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(zoqPrograms zoq zoq-dev-portal)
set(zoqManuals data/man/zoq.1 data/man/zoq-dev-portal.1)
if(TARGET zoq-tray)
  list(APPEND zoqPrograms zoq-tray)
  list(APPEND zoqManuals data/man/zoq-tray.1)
  install(FILES data/org.zoq.Zoq.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
install(TARGETS ${zoqPrograms} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${zoqManuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The tray looks its icons up by name in the theme: org.zoq.Zoq, and
# org.zoq.Zoq-recording while a call is recorded, org.zoq.Zoq-paused while paused.
install(FILES data/icons/org.zoq.Zoq.svg data/icons/org.zoq.Zoq-recording.svg data/icons/org.zoq.Zoq-paused.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(ZOQ_PACKAGE_MAINTAINER "zoq maintainers <maintainers@zoq.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zoq)
set(CPACK_PACKAGE_VENDOR zoq)
set(CPACK_PACKAGE_CONTACT "${ZOQ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "records your calls and uploads them to your portal")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "zoq lives in the tray and records calls with no action during the call:\n"
    "when an application you allow has held the microphone for 3 seconds, it\n"
    "records the microphone and the system audio into crash-safe spool\n"
    "directories, encodes each part to FLAC and uploads it to your web portal,\n"
    "removing the local audio once the portal confirms it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZOQ_PACKAGE_MAINTAINER}")
# The shared libraries come from dpkg-shlibdeps, which reads what the
# installed programs really link (the Qt libraries only when zoq-tray is
# built). Programs zoq runs, rather than links, are named here, and libcurl,
# which zoq loads only when it first talks to the portal.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg, xdg-utils, libcurl4 (>= 7.88)")
if(TARGET zoq-tray)
  # Qt reads SVG icons (the applications' icons in the allowlist window, zoq's
  # own in the theme) through plugins that no program links.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libqt6svg6")
endif()
# A sound server to record from and a Secret Service for the credentials;
# neither is needed to install zoq, or by every command.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, gnome-keyring")
include(CPack)

# The package, built and unpacked into a scratch root: the files are where a
# person looks for them and the programs run from there. An ASan build is no
# package anyone installs, so the sanitizer pass skips it.
if(NOT ZOQ_SANITIZE)
  if(TARGET zoq-tray)
    set(withTray 1)
  else()
    set(withTray 0)
  endif()
  add_test(NAME Package.deb
    COMMAND ${PROJECT_SOURCE_DIR}/tests/Package/check-package ${PROJECT_BINARY_DIR} ${PROJECT_VERSION} ${withTray})
  set_tests_properties(Package.deb PROPERTIES TIMEOUT 300)
endif()
