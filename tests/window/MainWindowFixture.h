// SPDX-License-Identifier: MIT
// What the main-window tests share: a temporary folder that stands in for the executable's, the
// settings file with its port map, a window built and shown there, and a watcher that answers the
// modal boxes the window opens.
#pragma once

#include "ExePath.h"
#include "Loopback.h"
#include "Main.h"
#include "ui_Main.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

// Answers every modal box that comes up (OK for a message box, Cancel for a dialog) and keeps
// what the message boxes said.
class ModalAnswerer : public QObject
{
  public:
    ModalAnswerer()
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, [this] { answer(); });
        m_timer.start();
    }

    QStringList messages;
    QStringList titles;
    QStringList details; // the informative lines
    int dialogs = 0;

  private:
    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            messages << box->text();
            titles << box->windowTitle();
            details << box->informativeText();
            box->done(QMessageBox::Ok);
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            ++dialogs;
            dialog->reject();
        }
    }

    QTimer m_timer;
};

struct MainWindowFixture {
    QTemporaryDir dir;

    MainWindowFixture()
    {
        platform::LoopbackPlug::ResetAll();
        platform::SetExePathForTesting(path("Quorvel").toStdString());
    }
    ~MainWindowFixture()
    {
        window.reset();
        platform::SetExePathForTesting(std::string());
        platform::LoopbackPlug::ResetAll();
        TCustomCommX::WaitForWorkers(3000);
    }

    QString path(const QString &name) const { return dir.filePath(name); }
    QString iniPath() const { return path(QStringLiteral("Quorvel.ini")); }

    void writeFile(const QString &name, const QByteArray &bytes) const
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray readFile(const QString &name) const
    {
        QFile f(path(name));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return f.readAll();
    }

    // The settings file: the port map plus whatever the test stores.
    void writeIni(const QByteArray &ports, const QByteArray &rest = {}) const
    {
        writeFile(QStringLiteral("Quorvel.ini"), "[PORTS]\r\n" + ports + "\r\n" + rest);
    }

    // Builds the window and shows it: the port opens (or the failure box comes and is answered).
    TForm1 &start()
    {
        window = std::make_unique<TForm1>();
        window->show();
        QTest::qWait(0);
        return *window;
    }

    // Closes the window the way its close box does and forgets it.
    void closeWindow()
    {
        window->close();
        window.reset();
    }

    std::unique_ptr<TForm1> window;
    ModalAnswerer answerer;
};
