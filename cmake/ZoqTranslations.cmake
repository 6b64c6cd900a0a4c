# zoq's texts for people go through gettext (ZoqShell/Messages/Translation.h).
# The build extracts the marked texts into the catalogue template
# (po/zoq.pot in the build tree) and compiles each translation in po/ into
# share/locale/LANG/LC_MESSAGES/zoq.mo, where the programs in bin/ find it
# and from where the package installs it. docs/translations.md says how to
# add a language.
find_program(XGETTEXT xgettext REQUIRED)
find_program(MSGFMT msgfmt REQUIRED)

# Every file whose texts a person reads: the catalogue is extracted from
# them, and tests/l10n/check-catalogue fails when one of them holds an
# unmarked text.
set(zoqCheckedGlobs
  ZoqShell/Messages/*.h ZoqShell/Messages/*.cpp
  ZoqShell/Shell/*.h ZoqShell/Shell/*.cpp
  ZoqUI/*.h ZoqUI/*.cpp
  Zoq/zoq/*.h Zoq/zoq/*.cpp
  Zoq/zoq-tray/*.h Zoq/zoq-tray/*.cpp)
file(GLOB zoqCheckedSources CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR} ${zoqCheckedGlobs})
list(SORT zoqCheckedSources)
set(zoqTranslatedSources ${zoqCheckedSources})
string(REPLACE ";" "\n" zoqCheckedList "${zoqCheckedSources}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/po/checked.txt CONTENT "${zoqCheckedList}\n")
list(TRANSFORM zoqTranslatedSources PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE zoqTranslatedPaths)
set(ZOQ_XGETTEXT_OPTIONS --language=C++ --from-code=UTF-8 --keyword= --keyword=i18n --keyword=I18N_NOOP
    --keyword=i18np:1,2 --add-comments=TRANSLATORS: --no-wrap --sort-by-file
    --package-name=zoq --package-version=${PROJECT_VERSION} --msgid-bugs-address=maintainers@zoq.invalid)

set(zoqCatalogue ${PROJECT_BINARY_DIR}/po/zoq.pot)
string(REPLACE ";" "\n" zoqTranslatedList "${zoqTranslatedSources}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/po/sources.txt CONTENT "${zoqTranslatedList}\n")
add_custom_command(OUTPUT ${zoqCatalogue}
  COMMAND ${XGETTEXT} ${ZOQ_XGETTEXT_OPTIONS} --files-from=${PROJECT_BINARY_DIR}/po/sources.txt
          --output=${zoqCatalogue}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  DEPENDS ${zoqTranslatedPaths} ${PROJECT_BINARY_DIR}/po/sources.txt
  COMMENT "Extracting zoq's texts into po/zoq.pot"
  VERBATIM)

file(STRINGS ${PROJECT_SOURCE_DIR}/po/LINGUAS zoqLanguages REGEX "^[^#]")
set(zoqCompiledCatalogues)
foreach(language IN LISTS zoqLanguages)
  set(compiled ${PROJECT_BINARY_DIR}/share/locale/${language}/LC_MESSAGES/zoq.mo)
  add_custom_command(OUTPUT ${compiled}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/share/locale/${language}/LC_MESSAGES
    COMMAND ${MSGFMT} --check --output-file=${compiled} ${PROJECT_SOURCE_DIR}/po/${language}.po
    DEPENDS ${PROJECT_SOURCE_DIR}/po/${language}.po
    COMMENT "Compiling the ${language} translation"
    VERBATIM)
  list(APPEND zoqCompiledCatalogues ${compiled})
endforeach()
add_custom_target(zoq-translations ALL DEPENDS ${zoqCatalogue} ${zoqCompiledCatalogues})
