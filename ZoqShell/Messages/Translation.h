#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

/// The texts zoq shows a person (the command line's help and messages, the
/// tray menu, the windows, the notifications) go through gettext, text domain
/// "zoq". A text is marked where it is written, so that xgettext finds it for
/// the catalogue the build makes (po/zoq.pot in the build tree):
///
///   i18n("Upload now")                   translated where it is used
///   I18N_NOOP("zoq Pairing")             marked only, for a constant that is
///                                        translated where it is shown
///   i18np("{1} upload", "{1} uploads", n) a text that depends on a count
///
/// Values go into a translated text as {1}, {2}, … through `substitute`, so a
/// translation may put them where its grammar wants them.
///
/// Wire values, event names, log lines and what is written to files are never
/// marked: they stay English whatever the language.
#define I18N_NOOP(text) text

namespace zoq {

/// The translation of `text` for the language the environment chose
/// (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), as UTF-8; `text` itself when there
/// is none. The result lives as long as the process. Any thread.
const char* i18n(const char* text) noexcept;

/// The translation of `singular` or `plural`, whichever the language uses
/// for `count`.
const char* i18np(const char* singular, const char* plural, unsigned long count) noexcept;

/// `pattern` with {1}, {2}, … replaced by the values in that order. A
/// placeholder without a value stays as written.
std::string substitute(std::string_view pattern, std::initializer_list<std::string_view> values);

/// Points gettext at zoq's catalogues: share/locale beside the program's
/// bin directory (/usr/share/locale for /usr/bin/zoq, the build tree's
/// share/locale for a program run from the build). Call once from main,
/// after the locale is set (setlocale, or QApplication's constructor).
void setUpTranslations() noexcept;

} // namespace zoq
