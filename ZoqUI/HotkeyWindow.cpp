#include "ZoqUI/HotkeyWindow.h"

#include "ZoqShell/Messages/Translation.h"
#include "ZoqShell/Recorder/Guarded.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
#include "ZoqUI/Accessible.h"
#include "ZoqUI/HotkeyCapture.h"

#include <QFormLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace zoq {
namespace {

constexpr std::uint32_t knownModifiers = HotkeyConfiguration::command | HotkeyConfiguration::option |
                                         HotkeyConfiguration::control | HotkeyConfiguration::shift;

} // namespace

HotkeyWindow::HotkeyWindow(ShellModel& model, QWidget* parent)
    : QWidget(parent), model_(model), editor_(new QKeySequenceEdit(this)),
      apply_(new QPushButton(i18n("Apply hotkey"), this)), message_(new QLabel(this)),
      status_(new QLabel(this)) {
    setWindowTitle(i18n(title));
    setMinimumSize(minimumWidth, minimumHeight);
    auto* form = new QFormLayout(this);
    form->addRow(i18n("Hotkey"), editor_);
    const char* hotkeyMeaning = i18n("Press the key combination that pauses and resumes recording");
    describe(*editor_, i18n("Hotkey"), hotkeyMeaning);
    // The editor's own field is what takes the keys: it is named the same.
    if (auto* field = editor_->findChild<QLineEdit*>()) {
        describe(*field, i18n("Hotkey"), hotkeyMeaning);
    }
    describe(*apply_, i18n("Apply hotkey"), i18n("Makes the pressed combination zoq's hotkey"));
    form->addRow(apply_);
    message_->setWordWrap(true);
    form->addRow(message_);
    status_->setWordWrap(true);
    form->addRow(status_);
    auto* caption = new QLabel(i18n("Default is Ctrl+Alt+Super+P. The hotkey toggles pause."), this);
    QFont small = caption->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    caption->setFont(small);
    form->addRow(caption);

    // A hotkey is one combination: keep the first of what was typed.
    QObject::connect(editor_, &QKeySequenceEdit::keySequenceChanged, this,
                     [this](const QKeySequence& sequence) {
                         if (sequence.count() > 1) {
                             editor_->setKeySequence(QKeySequence(sequence[0]));
                         }
                         relabel();
                     });
    // The editor writes Qt's text ("Meta+Ctrl+…") whenever it changes the
    // sequence: each time it is put back into the words the rest of the
    // window uses.
    if (auto* field = editor_->findChild<QLineEdit*>()) {
        QObject::connect(field, &QLineEdit::textChanged, this, [this] { relabel(); });
    }
    QObject::connect(apply_, &QPushButton::clicked, this,
                     [this] { guarded("Apply hotkey", [this] { (void)apply(); }); });
    observer_ = std::make_unique<ModelObserver>(model_, [this] { refresh(); });
    refresh();
}

HotkeyWindow::~HotkeyWindow() {
    editor_->blockSignals(true);
    for (QObject* child : editor_->findChildren<QObject*>()) {
        child->blockSignals(true);
    }
}

void HotkeyWindow::refresh() {
    if (model_.hotkeyWaiting()) {
        status_->setText(i18n(waiting));
        return;
    }
    if (!model_.hotkeyRegistered()) {
        status_->setText(i18n(notActive));
        return;
    }
    const std::optional<KeyCombination> held = KeyCombination::fromStored(model_.settings().hotkey());
    status_->setText(
        QString::fromStdString(substitute(i18n("Active: {1}"), {held ? held->label() : std::string("?")})));
}

QString HotkeyWindow::shownKeys() const {
    const auto* field = editor_->findChild<QLineEdit*>();
    return field != nullptr ? field->text() : QString();
}

void HotkeyWindow::relabel() {
    auto* field = editor_->findChild<QLineEdit*>();
    const QKeySequence sequence = editor_->keySequence();
    if (field == nullptr || sequence.isEmpty()) {
        return;
    }
    const QString label = keyLabel(sequence[0]);
    if (!label.isEmpty() && field->text() != label) {
        field->setText(label);
    }
}

void HotkeyWindow::load() {
    HotkeyConfiguration stored = model_.settings().hotkey();
    stored.carbonModifiers &= knownModifiers;
    const std::optional<KeyCombination> combination = KeyCombination::fromStored(stored);
    editor_->setKeySequence(combination ? QKeySequence(qtKeyCombination(*combination)) : QKeySequence());
    relabel();
    message_->setText(combination ? QString()
                                  : i18n("The stored hotkey cannot be used here: press a new one"));
}

bool HotkeyWindow::apply() {
    const QKeySequence sequence = editor_->keySequence();
    const std::optional<KeyCombination> combination =
        sequence.isEmpty() ? std::nullopt : keyCombination(sequence[0]);
    const std::optional<HotkeyConfiguration> stored = combination ? combination->stored() : std::nullopt;
    if (!stored) {
        message_->setText(i18n(refused));
        return false;
    }
    try {
        model_.settings().setHotkey(*stored);
    } catch (const std::exception& error) {
        message_->setText(
            QString::fromStdString(substitute(i18n("The hotkey could not be stored: {1}"), {error.what()})));
        return false;
    }
    model_.installHotkey();
    message_->setText(QString::fromStdString(substitute(i18n("Hotkey set to {1}"), {combination->label()})));
    return true;
}

void HotkeyWindow::showEvent(QShowEvent* event) {
    load();
    QWidget::showEvent(event);
}

} // namespace zoq
