// SPDX-License-Identifier: MIT
#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    QMainWindow w;
    w.setWindowTitle(QStringLiteral("Quorvel  Version 1.20"));
    w.show();
    return app.exec();
}
