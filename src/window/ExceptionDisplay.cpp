// SPDX-License-Identifier: MIT
#include "ExceptionDisplay.h"

QString ApplicationTitle()
{
    return QStringLiteral("Quorvel");
}

QString ExceptionDisplayText(const std::string &message)
{
    QString text = QString::fromStdString(message);
    // Compared by code point, so every Japanese character sorts after ".".
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        text.append(QLatin1Char('.'));
    return text;
}

void ShowAppMessage(QWidget *parent, const QString &text, QMessageBox::Icon icon, const QString &detail)
{
    // An instance run with exec() rather than a static helper: it is the active modal widget
    // while it is open, which is how the window tests find and close it.
    QMessageBox box(icon, ApplicationTitle(), text, QMessageBox::Ok, parent);
    if (!detail.isEmpty())
        box.setInformativeText(detail);
    box.exec();
}

void ShowException(QWidget *parent, const std::exception &error)
{
    ShowAppMessage(parent, ExceptionDisplayText(error.what()), QMessageBox::Critical);
}
