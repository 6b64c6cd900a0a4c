#include "tests/ZoqUI/UITestSupport.h"

#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTextDocument>
#include <QWidgetAction>
#include <gtest/gtest.h>

namespace zoq::test {
namespace {

bool isControl(QAccessible::Role role) {
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::List:
    case QAccessible::ListItem:
    case QAccessible::Table:
    case QAccessible::Tree:
    case QAccessible::Link:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
        return true;
    default:
        return false;
    }
}

void collectUnnamed(QAccessibleInterface* node, std::vector<std::string>& unnamed, int depth) {
    if (node == nullptr || !node->isValid() || depth > 32) {
        return;
    }
    const QString name = node->text(QAccessible::Name);
    const QString description = node->text(QAccessible::Description);
    if (isControl(node->role()) && (name.trimmed().isEmpty() || description.trimmed().isEmpty())) {
        const QObject* object = node->object();
        const QString which = object == nullptr ? QStringLiteral("item")
                              : object->objectName().isEmpty()
                                  ? QString::fromUtf8(object->metaObject()->className())
                                  : object->objectName();
        unnamed.push_back(QString::number(node->role(), 16).prepend("role 0x").toStdString() + " '" +
                          name.toStdString() + "' (" + which.toStdString() + ")" +
                          (name.trimmed().isEmpty() ? " has no name" : " has no description"));
    }
    for (int index = 0; index < node->childCount(); ++index) {
        collectUnnamed(node->child(index), unnamed, depth + 1);
    }
}

} // namespace

std::vector<std::string> unnamedControls(QWidget& window) {
    std::vector<std::string> unnamed;
    collectUnnamed(QAccessible::queryAccessibleInterface(&window), unnamed, 0);
    return unnamed;
}

QApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "zoq-ui-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zoq-test-bus");
        auto* created = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return created;
    }();
    return *application;
}

std::vector<std::string> menuItems(const QMenu& menu) {
    std::vector<std::string> items;
    for (const QAction* item : menu.actions()) {
        const std::string text = item->text().toStdString();
        if (item->isSeparator()) {
            items.emplace_back("---");
        } else if (!item->isEnabled()) {
            items.push_back("(" + text + ")");
        } else if (item->isCheckable()) {
            items.push_back((item->isChecked() ? "[x] " : "[ ] ") + text);
        } else {
            items.push_back(text);
        }
    }
    return items;
}

QAction* action(const QMenu& menu, const std::string& text) {
    for (QAction* item : menu.actions()) {
        if (item->isEnabled() && !item->isSeparator() && item->text().toStdString() == text) {
            return item;
        }
    }
    ADD_FAILURE() << "no enabled menu item \"" << text << "\"";
    return nullptr;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

std::string shownToolTip(const QString& tip) {
    if (!Qt::mightBeRichText(tip)) {
        return tip.toStdString();
    }
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText().toStdString();
}

const QLabel* statusLabel(const QMenu& menu) {
    const QList<QAction*> actions = menu.actions();
    if (actions.isEmpty()) {
        return nullptr;
    }
    const auto* widget = dynamic_cast<const QWidgetAction*>(actions.front());
    return widget != nullptr ? dynamic_cast<const QLabel*>(widget->defaultWidget()) : nullptr;
}

} // namespace zoq::test

// fontconfig, which Qt loads to lay out text, keeps a few allocations of its
// configuration until the process ends; they are not zoq's to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
