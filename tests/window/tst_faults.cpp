// SPDX-License-Identifier: MIT
// The window when its files or its port misbehave: files full of garbage, files that cannot be
// written, a port another window holds.
#include "HistoryFile.h"
#include "MainWindowFixture.h"
#include "PtyMaster.h"

#include <QDir>

#include <random>

class TestFaults : public QObject
{
    Q_OBJECT

  private slots:
    void garbageFilesStart_data();
    void garbageFilesStart();
    void unwritableFilesAreToldOnce_data();
    void unwritableFilesAreToldOnce();
    void secondWindowOnTheSamePort();
};

void TestFaults::garbageFilesStart_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    std::mt19937 random(7);
    QByteArray binary(64 * 1024, '\0');
    for (char &c : binary)
        c = static_cast<char>(random());
    QByteArray lines;
    for (int i = 0; i < 200000; ++i)
        lines += "line " + QByteArray::number(i) + "\r\n";
    const QByteArray nul("[INI]\r\nSPEED=9\0"
                         "600\r\n\0\0[POS]\r\nWIDTH=\0\r\n",
                         34);
    const QByteArray badCp932("[INI]\r\nSPEED=\x81\xff\r\nCOMM=\x82\r\n\x81\r\n\xff\xfe\xfd\r\n");
    const QByteArray longLine = "[INI]\r\nSPEED=" + QByteArray(1 << 20, '7') + "\r\n";
    for (const char *file : {"Quorvel.ini", "SendCombo.dat", "PButton.ini"}) {
        const QString name = QString::fromLatin1(file);
        QTest::newRow(qPrintable(name + " binary")) << name << binary;
        QTest::newRow(qPrintable(name + " NUL")) << name << nul;
        QTest::newRow(qPrintable(name + " invalid CP932")) << name << badCp932;
        QTest::newRow(qPrintable(name + " 200000 lines")) << name << lines;
        QTest::newRow(qPrintable(name + " 1 MB line")) << name << longLine;
    }
}

// The program starts on defaults where a value cannot be read, and writes back what it holds.
void TestFaults::garbageFilesStart()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    MainWindowFixture f;
    if (file == QLatin1String("Quorvel.ini"))
        f.writeFile(file, content);
    else {
        f.writeIni("COM1=loopback");
        f.writeFile(file, content);
    }
    TForm1 &w = f.start();
    QVERIFY(w.isVisible());
    if (file == QLatin1String("Quorvel.ini")) {
        QCOMPARE(w.CommSettings().Speed, 9600);
        QCOMPARE(w.CommSettings().ComNo, 1);
        QCOMPARE(w.width(), 794);
    } else {
        QVERIFY(f.answerer.messages.isEmpty());
    }
    const std::vector<std::string> history = w.SendHistory();
    f.closeWindow();
    QCOMPARE(f.answerer.messages.filter(QStringLiteral("保存できません")).size(), 0);
    QCOMPARE(f.readFile(QStringLiteral("SendCombo.dat")),
             QByteArray::fromStdString(core::SerializeHistory(history)));
}

void TestFaults::unwritableFilesAreToldOnce_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("settings file") << QStringLiteral("Quorvel.ini");
    QTest::newRow("history") << QStringLiteral("SendCombo.dat");
}

// A folder where the file should be fails even for root: the user hears of it once, the folder
// (standing for the old file) is left alone, and what was in memory is still in the window.
void TestFaults::unwritableFilesAreToldOnce()
{
    QFETCH(QString, file);
    MainWindowFixture f;
    if (file != QLatin1String("Quorvel.ini"))
        f.writeIni("COM1=loopback");
    QVERIFY(QDir(f.dir.path()).mkpath(file + QStringLiteral("/old")));
    TForm1 &w = f.start();
    const int before = static_cast<int>(f.answerer.messages.size());
    w.form().cmbSendMix->setEditText(QStringLiteral("\"kept\""));
    w.BtnMixClick();
    w.FormClose();
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), before + 1, 2000);
    QCOMPARE(f.answerer.messages.last(), QStringLiteral("設定を保存できませんでした。"));
    QVERIFY(f.answerer.details.last().contains(file));
    QVERIFY(QFileInfo(f.path(file + QStringLiteral("/old"))).isDir());
    QCOMPARE(w.SendHistory().front(), std::string("\"kept\""));
    f.closeWindow(); // the close that already ran does not ask again
    QCOMPARE(f.answerer.messages.size(), before + 1);
}

// The second window on a port gets the failed-open message with the reason; the first goes on.
void TestFaults::secondWindowOnTheSamePort()
{
    PtyMaster pty;
    if (!pty.ok())
        QSKIP("no pseudo-terminals here");
    MainWindowFixture f;
    f.writeIni("COM1=" + pty.slavePath());
    TForm1 &first = f.start();
    QVERIFY(f.answerer.messages.isEmpty());

    auto second = std::make_unique<TForm1>();
    second->show();
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 2000);
    QCOMPARE(f.answerer.messages.first(), QStringLiteral("ポートオープンに失敗しました"));
    QVERIFY2(f.answerer.details.first().contains(QStringLiteral("使用中")),
             qPrintable(f.answerer.details.first()));
    second.reset();

    first.form().cmbSendMix->setEditText(QStringLiteral("\"alive\""));
    first.BtnMixClick();
    QCOMPARE(pty.readSent(5), QByteArray("alive"));
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
