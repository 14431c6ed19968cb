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
    void failedOpenNamesTheSettingsFile_data();
    void failedOpenNamesTheSettingsFile();
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
    // Nothing to fix in the settings file for that.
    QVERIFY(!f.answerer.details.first().contains(QStringLiteral("設定ファイル: ")));
    second.reset();

    first.form().cmbSendMix->setEditText(QStringLiteral("\"alive\""));
    first.BtnMixClick();
    QCOMPARE(pty.readSent(5), QByteArray("alive"));
}

void TestFaults::failedOpenNamesTheSettingsFile_data()
{
    QTest::addColumn<bool>("installed");
    QTest::newRow("portable copy") << false;
    QTest::newRow("installed copy") << true;
}

// The message's second line says where the settings file is (the one the close writes, which an
// installed copy has not written yet) and where the help explains [PORTS]; its first line and
// the reason stay as they are.
void TestFaults::failedOpenNamesTheSettingsFile()
{
    QFETCH(bool, installed);
    MainWindowFixture f;
    const QByteArray xdg = f.path(QStringLiteral("xdg")).toUtf8();
    // The user's folder for this test only, whatever way it ends.
    struct Xdg {
        explicit Xdg(const QByteArray &dir) { qputenv("XDG_CONFIG_HOME", dir); }
        ~Xdg() { had ? qputenv("XDG_CONFIG_HOME", old) : qunsetenv("XDG_CONFIG_HOME"); }
        Xdg(const Xdg &) = delete;
        Xdg &operator=(const Xdg &) = delete;
        bool had = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        QByteArray old = qgetenv("XDG_CONFIG_HOME");
    } xdgGuard(xdg);
    QString folder = f.dir.path();
    QString settings = f.iniPath();
    if (installed) {
        QVERIFY(QDir(f.dir.path()).mkpath(QStringLiteral("bin")));
        QVERIFY(QDir(f.dir.path()).mkpath(QStringLiteral("share/quorvel")));
        folder = f.path(QStringLiteral("bin"));
        platform::SetExePathForTesting((folder + QStringLiteral("/Quorvel")).toStdString());
        settings = QString::fromUtf8(xdg) + QStringLiteral("/Quorvel/Quorvel.ini");
    }
    const QString device = f.path(QStringLiteral("ttyNONE"));
    QFile ini(folder + QStringLiteral("/Quorvel.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[PORTS]\r\nCOM1=" + device.toUtf8() + "\r\n");
    ini.close();
    f.start();
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 2000);
    QCOMPARE(f.answerer.messages.first(), QStringLiteral("ポートオープンに失敗しました"));
    const QString reason =
        QStringLiteral("COM1 の装置 %1 が見つかりません（設定ファイルの [PORTS] の COM1）。"
                       "装置がつながっているか確かめてください。")
            .arg(device);
    const QString help = QStringLiteral("。詳しくはヘルプの「ポートの割り当て」を見てください。");
    const QString notYet =
        QStringLiteral("（まだありません。終了時に作られますが、先に作って書いてもかまいません）");
    QCOMPARE(f.answerer.details.first(),
             reason + QStringLiteral("設定ファイル: ") + settings + (installed ? notYet : QString()) + help);
    f.closeWindow();
    QVERIFY(QFileInfo::exists(settings));
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
