#include "ZoqUI/HotkeyWindow.h"

#include "ZoqShell/Recorder/Guarded.h"
#include "ZoqShell/Settings/ShellSettings.h"
#include "ZoqShell/Shell/ShellModel.h"
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
      apply_(new QPushButton("Apply hotkey", this)), message_(new QLabel(this)), status_(new QLabel(this)) {
    setWindowTitle(title);
    setMinimumSize(minimumWidth, minimumHeight);
    auto* form = new QFormLayout(this);
    form->addRow("Hotkey", editor_);
    form->addRow(apply_);
    message_->setWordWrap(true);
    form->addRow(message_);
    status_->setWordWrap(true);
    form->addRow(status_);
    auto* caption = new QLabel("Default is Ctrl+Alt+Super+P. The hotkey toggles pause.", this);
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
        status_->setText(waiting);
        return;
    }
    if (!model_.hotkeyRegistered()) {
        status_->setText(notActive);
        return;
    }
    const std::optional<KeyCombination> held = KeyCombination::fromStored(model_.settings().hotkey());
    status_->setText(QString::fromStdString("Active: " + (held ? held->label() : std::string("?"))));
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
    message_->setText(combination ? QString() : "The stored hotkey cannot be used here: press a new one");
}

bool HotkeyWindow::apply() {
    const QKeySequence sequence = editor_->keySequence();
    const std::optional<KeyCombination> combination =
        sequence.isEmpty() ? std::nullopt : keyCombination(sequence[0]);
    const std::optional<HotkeyConfiguration> stored = combination ? combination->stored() : std::nullopt;
    if (!stored) {
        message_->setText(refused);
        return false;
    }
    try {
        model_.settings().setHotkey(*stored);
    } catch (const std::exception& error) {
        message_->setText(
            QString::fromStdString(std::string("The hotkey could not be stored: ") + error.what()));
        return false;
    }
    model_.installHotkey();
    message_->setText(QString::fromStdString("Hotkey set to " + combination->label()));
    return true;
}

void HotkeyWindow::showEvent(QShowEvent* event) {
    load();
    QWidget::showEvent(event);
}

} // namespace zoq
