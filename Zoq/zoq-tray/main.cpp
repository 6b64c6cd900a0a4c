// zoq-tray: zoq in the tray. Records calls, uploads them, and shows what it
// does in a tray menu, three windows and desktop notifications.

#include "Zoq/zoq-tray/TrayApplication.h"
#include "Zoq/zoq/RunningService.h"
#include "Zoq/zoq/StopOnSignal.h"
#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Messages/PlainWords.h"
#include "ZoqShell/Settings/ShellIdentity.h"
#include "ZoqShell/Settings/ShellPaths.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqUI/FileStoreChoice.h"
#include "ZoqUI/TrayIcon.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <clocale>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <iostream>
#include <optional>
#include <utility>

namespace {

/// The keyring cannot be used, so zoq cannot start as it is: it says so (on
/// standard error, in a notification, in the tray's menu and, unless started
/// quietly, in a window) and offers the private credential file instead.
/// True once the person chose it (stored in the settings), false when they
/// quit. Runs the event loop until then.
bool offerFileStore(const zoq::cli::KeyringUnusable& failure, bool quietly) {
    std::cerr << "zoq: " << failure.what() << '\n';
    zoq::DesktopNotifications notifications;
    notifications.show(zoq::i18n("zoq cannot start"), failure.words(), zoq::DesktopNotifications::Urgency::critical);
    zoq::ShellSettings settings(zoq::ShellPaths::settingsFile(),
                                zoq::ShellSettings::systemLayersIn(zoq::ShellPaths::systemConfigRoots()));
    bool chosen = false;
    const auto choose = [&chosen] {
        chosen = true;
        QCoreApplication::quit();
    };
    zoq::KeyringProblemWindow window(failure.words(), settings, choose);
    if (!window.choice().offered()) {
        // The administrator keeps the credentials in the keyring: nothing to choose.
        return false;
    }
    QSystemTrayIcon icon(zoq::TrayIcon::symbol(false));
    icon.setToolTip(QString::fromStdString(failure.words()));
    QMenu menu;
    QAction* reason = menu.addAction(QString::fromStdString(failure.words()));
    reason->setEnabled(false);
    QObject::connect(menu.addAction(zoq::i18n(zoq::plain::fileStoreButton)), &QAction::triggered, &window,
                     [&window] { window.choice().button().click(); });
    menu.addSeparator();
    QObject::connect(menu.addAction(zoq::i18n("Quit zoq")), &QAction::triggered, &menu,
                     [] { QCoreApplication::quit(); });
    icon.setContextMenu(&menu);
    QObject::connect(&icon, &QSystemTrayIcon::activated, &window,
                     [&window](QSystemTrayIcon::ActivationReason why) {
                         if (why == QSystemTrayIcon::Trigger) {
                             window.show();
                             window.raise();
                         }
                     });
    icon.show();
    if (!quietly) {
        window.show();
    }
    QApplication::exec();
    notifications.flush();
    return chosen;
}

} // namespace

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
        std::unique_ptr<zoq::ShellBusService> bus = std::move(claim.service);
        std::optional<zoq::TrayApplication::Retry> retry;
        for (bool first = true;; first = false) {
            std::unique_ptr<zoq::cli::ShellSession> session;
            try {
                // A refused stored portal address is reported by the model, not fatal.
                session = std::make_unique<zoq::cli::ShellSession>(/*storedPortalRequired=*/false);
            } catch (const zoq::cli::KeyringUnusable& failure) {
                if (!offerFileStore(failure, background && first)) {
                    return failure.exitCode();
                }
                continue;
            }
            bool reopen = false;
            zoq::TrayApplication tray(executor, std::move(bus), std::move(session),
                                      [&](const zoq::TrayApplication::Retry& again) {
                                          reopen = true;
                                          retry = again;
                                          QCoreApplication::quit();
                                      });
            shown = &tray;
            tray.start(background && first);
            if (retry) {
                tray.pairOnceReady(*std::exchange(retry, std::nullopt));
            }
            const int code = QApplication::exec();
            shown = nullptr;
            bus = tray.releaseBus();
            if (!reopen) {
                return code;
            }
        }
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
