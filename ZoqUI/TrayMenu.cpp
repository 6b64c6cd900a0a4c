#include "ZoqUI/TrayMenu.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/Guarded.h"
#include "ZoqShell/Shell/MenuPresentation.h"
#include "ZoqShell/Shell/ShellModel.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QWidgetAction>

namespace zoq {
namespace {

enum class Tone { caption, primary, secondary, warning };

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

/// A line of text that does nothing: a caption is a disabled item; a line in
/// a colour of its own is a label, since a disabled item is always greyed.
void addLine(QMenu& menu, const QString& line, Tone tone) {
    if (tone == Tone::caption) {
        menu.addAction(line)->setEnabled(false);
        return;
    }
    auto* action = new QWidgetAction(&menu);
    action->setText(line);
    action->setEnabled(false);
    auto* label = new QLabel(line);
    // The line may name another program ("Recording <application>"): set
    // explicitly, since a QLabel would otherwise guess rich text from it.
    label->setTextFormat(Qt::PlainText);
    label->setContentsMargins(12, 4, 12, 4);
    QPalette palette = label->palette();
    const QColor colour = tone == Tone::warning     ? TrayMenu::warningColor
                          : tone == Tone::secondary ? palette.color(QPalette::Disabled, QPalette::WindowText)
                                                    : palette.color(QPalette::Active, QPalette::WindowText);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, colour);
    palette.setColor(QPalette::Active, QPalette::WindowText, colour);
    palette.setColor(QPalette::Inactive, QPalette::WindowText, colour);
    label->setPalette(palette);
    action->setDefaultWidget(label);
    menu.addAction(action);
}

template <typename Slot>
QAction* addButton(QMenu& menu, const QString& title, Slot slot) {
    QAction* action = menu.addAction(title);
    QObject::connect(action, &QAction::triggered, action,
                     [slot, what = title.toStdString()] { guarded(what.c_str(), slot); });
    return action;
}

/// A check item that always shows the stored truth: a click asks for the
/// change and puts the tick back at once; the rebuild after the model's
/// answer shows the outcome, and a change that did not take (a rebuild with
/// the same state, or none) leaves it as it was.
template <typename Slot>
QAction* addToggle(QMenu& menu, const QString& title, bool on, Slot slot) {
    QAction* action = menu.addAction(title);
    action->setCheckable(true);
    action->setChecked(on);
    QObject::connect(action, &QAction::triggered, action,
                     [action, on, slot, what = title.toStdString()](bool checked) {
                         // The tick shows what is stored until the model answers.
                         action->setChecked(on);
                         guarded(what.c_str(), [&] { slot(checked); });
                     });
    return action;
}

} // namespace

const QColor TrayMenu::warningColor{255, 149, 0};

TrayMenu::TrayMenu(QMenu& menu, MenuActions& actions) : menu_(menu), actions_(actions) {}

void TrayMenu::show(const MenuSnapshot& snapshot) {
    if (shown_ == snapshot) {
        return;
    }
    rebuild(snapshot);
    shown_ = snapshot;
}

void TrayMenu::rebuild(const MenuSnapshot& snapshot) {
    // QMenu::clear() deletes at once, which would destroy an action from
    // inside its own triggered signal when a model call reports back
    // synchronously.
    for (QAction* old : menu_.actions()) {
        menu_.removeAction(old);
        if (old->parent() == &menu_) {
            old->deleteLater();
        }
    }
    MenuActions& act = actions_;
    QMenu& menu = menu_;

    addLine(menu, text(snapshot.status.text), snapshot.status.warning ? Tone::warning : Tone::primary);
    for (const std::string& warning : snapshot.settingsWarnings) {
        addLine(menu, text(substitute(i18n("⚠ Settings: {1}"), {warning})), Tone::warning);
    }
    if (snapshot.permission.showsRequestButton) {
        addButton(menu, text(snapshot.permission.requestButtonTitle),
                  [&act] { act.requestMicrophonePermission(); });
    }
    switch (snapshot.permission.settingsTarget) {
    case SettingsTarget::microphone:
        addLine(menu, i18n(microphoneHint), Tone::caption);
        addButton(menu, i18n("Open Microphone settings…"),
                  [&act] { act.openSettings(ZoqDeepLink::microphoneSettings); });
        break;
    case SettingsTarget::systemAudio:
        addLine(menu, i18n(systemAudioHint), Tone::caption);
        addButton(menu, i18n("Open Sound settings…"),
                  [&act] { act.openSettings(ZoqDeepLink::screenAudioRecordingSettings); });
        break;
    case SettingsTarget::none:
        break;
    }

    menu.addSeparator();
    addButton(menu, snapshot.running ? i18n("Stop recording") : i18n("Start recording"),
              [&act] { act.toggleRecorder(); });
    if (snapshot.running && !snapshot.awaitingSoundServer) {
        addButton(menu, snapshot.paused ? i18n("Resume") : i18n("Pause"), [&act] { act.togglePause(); });
    }
    if (snapshot.blockedAuth) {
        addLine(menu, i18n(blockedCaption), Tone::caption);
        addButton(menu, i18n("Re-pair device…"), [&act] { act.openWindow(TrayWindow::pairing); });
    }

    menu.addSeparator();
    addLine(menu, i18n("Last uploads"), Tone::caption);
    if (snapshot.rows.empty()) {
        addLine(menu, i18n("No local recordings"), Tone::secondary);
    }
    for (const UploadRow& row : lastRows(snapshot.rows)) {
        menu.addAction(text(rowLabel(row)))->setEnabled(false);
    }
    if (anyStuck(snapshot.rows)) {
        addLine(menu, i18n("⚠ An upload is stuck — check network and portal"), Tone::warning);
    }
    addButton(menu, i18n("Upload now"), [&act] { act.uploadNow(); });
    addButton(menu, i18n("Recordings…"), [&act] { act.openWindow(TrayWindow::recordings); });

    menu.addSeparator();
    addButton(menu, i18n("Allowlist…"), [&act] { act.openWindow(TrayWindow::allowlist); });
    addButton(menu, i18n("Pairing…"), [&act] { act.openWindow(TrayWindow::pairing); });
    addButton(menu, i18n("Hotkey…"), [&act] { act.openWindow(TrayWindow::hotkey); });
    QAction* chime = addToggle(menu, i18n("Chime on record start/stop"), snapshot.chimeEnabled,
                               [&act](bool on) { act.setChime(on); });
    if (snapshot.chimeLocked) {
        // Tray hosts show no tooltips on menu items: the reason is in the title.
        chime->setText(QString::fromStdString(
            substitute(i18n("Chime on record start/stop — {1}"), {i18n(ShellModel::setByAdministrator)})));
        chime->setEnabled(false);
    }
    QMenu* right = menu.addMenu(
        snapshot.systemAudioSourceLocked
            ? QString::fromStdString(substitute(i18n("Right channel — {1}"), {i18n(ShellModel::setByAdministrator)}))
            : QString(i18n("Right channel")));
    for (const auto& [source, title] :
         {std::pair{SystemAudioSource::all, I18N_NOOP("Everything the computer plays")},
          std::pair{SystemAudioSource::recordedApp, I18N_NOOP("Only the recorded application")}}) {
        QAction* choice = addToggle(*right, i18n(title), snapshot.systemAudioSource == source,
                                    [&act, source = source](bool) { act.setSystemAudioSource(source); });
        choice->setEnabled(!snapshot.systemAudioSourceLocked);
    }
    addToggle(menu, i18n("Tell me about apps that are not allowed"), snapshot.tellNotAllowed,
              [&act](bool on) { act.setTellNotAllowed(on); });
    addToggle(menu, i18n("Launch at login"), snapshot.loginItemState == LoginItemState::registered,
              [&act](bool on) { act.setLoginItem(on); });
    if (snapshot.loginItemProblem) {
        addLine(menu, QString::fromUtf8(i18n(snapshot.loginItemProblem->c_str())), Tone::warning);
    }
    if (snapshot.loginItemState == LoginItemState::requiresApproval) {
        addButton(menu, i18n("Approve in Startup Applications…"),
                  [&act] { act.openSettings(ZoqDeepLink::loginItemsSettings); });
    }

    menu.addSeparator();
    addButton(menu, i18n("Sound settings…"),
              [&act] { act.openSettings(ZoqDeepLink::screenAudioRecordingSettings); });
    addButton(menu, i18n("Microphone settings…"),
              [&act] { act.openSettings(ZoqDeepLink::microphoneSettings); });

    menu.addSeparator();
    addButton(menu, i18n("Quit zoq"), [&act] { act.quit(); });
}

} // namespace zoq
