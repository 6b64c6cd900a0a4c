// zoq-tray: zoq in the tray. Records calls, uploads them, and shows what it
// does in a tray menu, three windows and desktop notifications.

#include "Zoq/zoq-tray/TrayApplication.h"
#include "Zoq/zoq/RunningService.h"
#include "Zoq/zoq/StopOnSignal.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Settings/ShellIdentity.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <clocale>
#include <iostream>

int main(int argc, char** argv) {
    // The options' help is read before Qt sets the whole locale.
    std::setlocale(LC_MESSAGES, "");
    zoq::setUpTranslations();
    CLI::App options(zoq::i18n("zoq in the tray: records calls of allowed applications and uploads them"),
                     "zoq-tray");
    bool background = false;
    options.set_version_flag("--version", std::string("zoq-tray ") + ZOQ_VERSION,
                             zoq::i18n("Print the version and exit"));
    options.add_flag("--background", background,
                     zoq::i18n("Start without opening any window (as the session's autostart does)"));
    CLI11_PARSE(options, argc, argv);

    // Before any thread exists (Qt's own included): SIGINT, SIGTERM and
    // SIGHUP (a logout) end the event loop, so the model is destroyed and an
    // open part finalised.
    const zoq::cli::StopOnSignal signals(
        [] { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); });

    QApplication application(argc, argv);
    QApplication::setApplicationName("zoq");
    QApplication::setDesktopFileName(zoq::ShellIdentity::bundleID);
    // Windows come and go; zoq lives in the tray until "Quit zoq".
    QApplication::setQuitOnLastWindowClosed(false);
    zoq::QtMainExecutor executor;
    // Show arrives through the event loop, which runs only once the tray
    // exists: until then (and after it) there is nothing to show.
    zoq::TrayApplication* shown = nullptr;
    // Before anything that records is built: a second zoq builds nothing.
    zoq::cli::ServiceClaim claim = zoq::cli::claimService(executor, [&shown] {
        if (shown != nullptr) {
            shown->show();
        }
    });
    if (claim.alreadyRunning) {
        std::cout << zoq::i18n("zoq is already running") << std::endl;
        return 0;
    }
    if (!claim.unavailable.empty()) {
        std::cerr << "zoq: "
                  << zoq::substitute(zoq::i18n("{1}; running without the commands that ask zoq"),
                                     {claim.unavailable})
                  << '\n';
    }
    try {
        zoq::TrayApplication tray(executor, std::move(claim.service));
        shown = &tray;
        tray.start(background);
        const int code = QApplication::exec();
        shown = nullptr;
        return code;
    } catch (const zoq::cli::CommandFailure& failure) {
        std::cerr << "zoq: " << failure.what() << '\n';
        zoq::DesktopNotifications notifications;
        notifications.show(zoq::i18n("zoq cannot start"), failure.what(),
                           zoq::DesktopNotifications::Urgency::critical);
        return failure.exitCode();
    } catch (const std::exception& error) {
        std::cerr << "zoq: " << error.what() << '\n';
        return 1;
    }
}
