// minimal-tray — the smallest Qt tray program: an icon drawn at start and a
// menu with one item. bench/compare-tray starts it beside zoq-tray, so the
// figures say what zoq adds to what any Qt tray program costs.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);

    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Qt::white, 6));
        painter.setBrush(Qt::red);
        painter.drawEllipse(QRectF(6, 6, 52, 52));
    }

    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &application,
                     &QApplication::quit);
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.setContextMenu(&menu);
    icon.show();
    return application.exec();
}
