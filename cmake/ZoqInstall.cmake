# What `cmake --install` puts on a machine, and the Debian packages built from
# it (`./dev package`, CPack): `zoq`, what a person needs to record and upload,
# and `zoq-dev-tools`, the development portal and its HTTP library, which no
# user needs. Included last, once every program target exists.
#
# The desktop entry and the zoq-tray manual start zoq-tray, so they are
# installed only with it: an entry whose program is missing would sit in the
# applications menu and do nothing.
include(GNUInstallDirs)

# Installing and packaging take what is built and never build themselves: the
# package test runs inside ctest, where a build would race the other tests,
# and `./dev package` builds first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# Everything not marked as a developer tool belongs to the user's package.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME user)

# Manual pages and changelogs are installed gzipped, without a timestamp in the
# gzip header, so that two builds of one source give the same package. They are
# made by the default build because installing never builds.
set(zoqCompressed ${PROJECT_BINARY_DIR}/compressed)
set(zoqCompressedFiles)
function(zoq_gzip source name)
  set(output ${zoqCompressed}/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${zoqCompressed}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/${source} > ${output}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source}
    VERBATIM)
  set(zoqCompressedFiles ${zoqCompressedFiles} ${output} PARENT_SCOPE)
endfunction()

zoq_gzip(data/debian/changelog changelog)
set(userManuals zoq.1)
if(TARGET zoq-tray)
  list(APPEND userManuals zoq-tray.1)
endif()
foreach(page IN LISTS userManuals ITEMS zoq-dev-portal.1)
  zoq_gzip(data/man/${page} ${page})
endforeach()
# The bash and zsh completions, written by zoq itself from the definitions
# that make its --help.
set(zoqCompletion ${PROJECT_BINARY_DIR}/completion/zoq)
set(zoqZshCompletion ${PROJECT_BINARY_DIR}/completion/_zoq)
add_custom_command(OUTPUT ${zoqCompletion} ${zoqZshCompletion}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/completion
  # A sanitizer build's zoq writes the same file; what it leaks at exit is
  # the tests' business, not the build's.
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 $<TARGET_FILE:zoq> completion bash > ${zoqCompletion}
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 $<TARGET_FILE:zoq> completion zsh > ${zoqZshCompletion}
  DEPENDS zoq
  VERBATIM)
add_custom_target(zoq-installed-data ALL DEPENDS ${zoqCompressedFiles} ${zoqCompletion} ${zoqZshCompletion})

# The user's package.
set(userPrograms zoq)
if(TARGET zoq-tray)
  list(APPEND userPrograms zoq-tray)
  install(FILES data/org.zoq.Zoq.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # What software centres list: it launches that entry and provides zoq-tray.
  install(FILES data/org.zoq.Zoq.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
install(TARGETS ${userPrograms} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# What Debian's hardening asks of an installed program: relocations resolved
# at start and then made read-only (relro, bindnow).
foreach(program IN LISTS userPrograms ITEMS zoq-dev-portal)
  target_link_options(${program} PRIVATE LINKER:-z,relro,-z,now)
endforeach()
list(TRANSFORM userManuals APPEND .gz)
list(TRANSFORM userManuals PREPEND ${zoqCompressed}/)
install(FILES ${userManuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${zoqCompletion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${zoqZshCompletion} DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
# The translations, where gettext looks for them.
foreach(language IN LISTS zoqLanguages)
  install(FILES ${PROJECT_BINARY_DIR}/share/locale/${language}/LC_MESSAGES/zoq.mo
          DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${language}/LC_MESSAGES)
endforeach()
# The tray looks its icons up by name in the theme: org.zoq.Zoq, and
# org.zoq.Zoq-recording while a call is recorded, org.zoq.Zoq-paused while paused.
install(FILES data/icons/org.zoq.Zoq.svg data/icons/org.zoq.Zoq-recording.svg data/icons/org.zoq.Zoq-paused.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Without a tray: the systemd user unit (`systemctl --user enable --now zoq`)
# and the session bus's activation file, which hands a start of org.zoq.Zoq
# (`zoq start`) to that unit. The package installs into /usr, whose programs
# the two files name.
install(FILES data/systemd/zoq.service DESTINATION lib/systemd/user)
install(FILES data/dbus/org.zoq.Zoq.service DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/services)

# The developer tools' package.
install(TARGETS zoq-dev-portal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT devtools)
install(FILES ${zoqCompressed}/zoq-dev-portal.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT devtools)

# Each package carries its own copyright and changelog, as Debian requires.
set(components user devtools)
set(packages zoq zoq-dev-tools)
foreach(component package IN ZIP_LISTS components packages)
  install(FILES data/debian/copyright ${zoqCompressed}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# The maintainer is whoever builds the package, named the way Debian's own
# tools (dch, debmake) learn it: DEBFULLNAME and DEBEMAIL in the environment
# of the first configuration, or the cache variable set directly.
set(maintainer "zoq maintainers <maintainers@zoq.invalid>")
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
endif()
set(ZOQ_PACKAGE_MAINTAINER "${maintainer}" CACHE STRING "The Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zoq)
set(CPACK_PACKAGE_VENDOR zoq)
set(CPACK_PACKAGE_CONTACT "${ZOQ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL user devtools)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZOQ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries come from dpkg-shlibdeps, which reads what each
# package's programs really link (the Qt libraries only when zoq-tray is
# built, cpp-httplib only in the developer tools).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_USER_PACKAGE_NAME zoq)
set(CPACK_DEBIAN_USER_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_USER_PACKAGE_SECTION sound)
string(CONCAT CPACK_DEBIAN_USER_DESCRIPTION
    "records your calls and uploads them to your portal\n"
    "zoq lives in the tray and records calls with no action during the call:\n"
    "when an application you allow has held the microphone for 3 seconds, it\n"
    "records the microphone and the system audio into crash-safe spool\n"
    "directories, encodes each part to FLAC and uploads it to your web portal,\n"
    "removing the local audio once the portal confirms it.")
# Programs zoq runs, rather than links, are named here, and libcurl, which zoq
# loads only when it first talks to the portal.
set(CPACK_DEBIAN_USER_PACKAGE_DEPENDS "ffmpeg, xdg-utils, libcurl4 (>= 7.88)")
if(TARGET zoq-tray)
  # Qt reads SVG icons (the applications' icons in the allowlist window, zoq's
  # own in the theme) through plugins that no program links.
  string(APPEND CPACK_DEBIAN_USER_PACKAGE_DEPENDS ", libqt6svg6")
endif()
# A sound server to record from and a Secret Service for the credentials;
# neither is needed to install zoq, or by every command.
set(CPACK_DEBIAN_USER_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, gnome-keyring")

set(CPACK_DEBIAN_DEVTOOLS_PACKAGE_NAME zoq-dev-tools)
set(CPACK_DEBIAN_DEVTOOLS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_DEVTOOLS_PACKAGE_SECTION devel)
string(CONCAT CPACK_DEBIAN_DEVTOOLS_DESCRIPTION
    "development portal for trying zoq without a real portal\n"
    "zoq-dev-portal is a small HTTP server on the loopback interface that\n"
    "speaks the portal protocol zoq uses: pairing, credential refresh, uploads\n"
    "and status polls. It lets developers pair and upload without a real\n"
    "portal, and inject faults to see how zoq copes with them.")
include(CPack)

# The packages, built and unpacked into a scratch root: the files are where a
# person looks for them, the programs run from there, and lintian finds
# nothing to fix. An ASan build is no package anyone installs, so the
# sanitizer pass skips it.
if(NOT ZOQ_SANITIZE)
  if(TARGET zoq-tray)
    set(withTray 1)
  else()
    set(withTray 0)
  endif()
  add_test(NAME Package.deb
    COMMAND ${PROJECT_SOURCE_DIR}/tests/Package/check-package ${PROJECT_BINARY_DIR} ${PROJECT_VERSION} ${withTray})
  set_tests_properties(Package.deb PROPERTIES TIMEOUT 600)
endif()
