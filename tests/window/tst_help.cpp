// SPDX-License-Identifier: MIT
// The help command's viewer, the help document the build puts beside the executable, and the
// display of an exception that escapes a handler.
#include "ExceptionDisplay.h"
#include "ExePath.h"
#include "HelpViewer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>

#include <stdexcept>

namespace
{

QList<QWidget *> Viewers()
{
    QList<QWidget *> viewers;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("HelpViewer") && w->isVisible())
            viewers << w;
    }
    return viewers;
}

// The text of the line at the top of the browser's view.
QString TopLine(QTextBrowser *browser)
{
    return browser->cursorForPosition(QPoint(4, 4)).block().text().trimmed();
}

QTextDocument *LoadDocument(const QString &path, QObject *owner)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    auto *document = new QTextDocument(owner);
    document->setHtml(QString::fromUtf8(file.readAll()));
    return document;
}

} // namespace

class TestHelp : public QObject
{
    Q_OBJECT

  private slots:
    void cleanup();

    void opensAtOverview();
    void secondUseShowsTheEntryAgain();
    void missingDocumentThrows();
    void installedProgramFindsItsDocument();
    void buildCopyIsCurrent();
    void documentLinksResolve();
    void documentCovers_data();
    void documentCovers();
    void exceptionDisplayText_data();
    void exceptionDisplayText();
    void showExceptionMessageBox();

  private:
    void useBuiltDocument() { platform::SetExePathForTesting(QUORVEL_EXE_DIR "/Quorvel"); }
};

void TestHelp::cleanup()
{
    for (QWidget *w : Viewers())
        w->close();
    platform::SetExePathForTesting("");
}

void TestHelp::opensAtOverview()
{
    useBuiltDocument();
    QWidget mainWindow;
    mainWindow.show();
    QWidget *viewer = platform::ShowHelp(&mainWindow);
    QVERIFY(viewer);
    QVERIFY(viewer->isVisible());
    QVERIFY(viewer->isWindow());
    QCOMPARE(Viewers(), QList<QWidget *>{viewer});
    // Not modal: the main window stays usable.
    QCOMPARE(QApplication::activeModalWidget(), nullptr);

    auto *browser = viewer->findChild<QTextBrowser *>("helpBrowser");
    auto *index = viewer->findChild<QListWidget *>("helpIndex");
    QVERIFY(browser && index);
    QCOMPARE(browser->source().fileName(), QStringLiteral("index.html"));
    QVERIFY(index->currentItem());
    QCOMPARE(index->currentItem()->text(), QStringLiteral("概要"));
    // The entry is in view: the contents list above it has been scrolled past.
    QVERIFY(browser->verticalScrollBar()->value() > 0);
    QCOMPARE(TopLine(browser), QStringLiteral("概要"));

    // Choosing another index entry shows that one.
    const QList<QListWidgetItem *> files = index->findItems(QStringLiteral("ファイル"), Qt::MatchExactly);
    QCOMPARE(files.size(), 1);
    index->setCurrentItem(files.first());
    QCOMPARE(TopLine(browser), QStringLiteral("プログラムが使うファイル"));
}

void TestHelp::secondUseShowsTheEntryAgain()
{
    useBuiltDocument();
    QWidget mainWindow;
    mainWindow.show();
    QWidget *first = platform::ShowHelp(&mainWindow);
    auto *browser = first->findChild<QTextBrowser *>("helpBrowser");
    browser->verticalScrollBar()->setValue(browser->verticalScrollBar()->maximum());
    QVERIFY(TopLine(browser) != QStringLiteral("概要"));

    QWidget *second = platform::ShowHelp(&mainWindow);
    QCOMPARE(second, first);
    QCOMPARE(Viewers().size(), 1);
    QCOMPARE(TopLine(browser), QStringLiteral("概要"));

    // Closed by the user, the next use opens a new viewer.
    first->close();
    QTRY_COMPARE(Viewers().size(), 0);
    QWidget *third = platform::ShowHelp(&mainWindow);
    QVERIFY(third->isVisible());
    QCOMPARE(TopLine(third->findChild<QTextBrowser *>("helpBrowser")), QStringLiteral("概要"));
}

void TestHelp::missingDocumentThrows()
{
    QTemporaryDir empty;
    QVERIFY(empty.isValid());
    platform::SetExePathForTesting((empty.path() + "/Quorvel").toStdString());
    QWidget mainWindow;
    try {
        platform::ShowHelp(&mainWindow);
        QFAIL("no exception for a missing document");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("HHCTRL.OCXが見つかりません"));
    }
    QVERIFY(Viewers().isEmpty());

    // A folder where the document should be is not the document.
    QVERIFY(QDir(empty.path()).mkpath("help/index.html"));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, platform::ShowHelp(&mainWindow));
}

// Installed, the program lies in bin/ and its document in share/quorvel/help/ beside it.
void TestHelp::installedProgramFindsItsDocument()
{
    QTemporaryDir prefix;
    QVERIFY(prefix.isValid());
    QVERIFY(QDir(prefix.path()).mkpath("bin"));
    QVERIFY(QDir(prefix.path()).mkpath("share/quorvel/help"));
    const QString installed = prefix.path() + "/share/quorvel/help/index.html";
    QVERIFY(QFile::copy(QStringLiteral(QUORVEL_HELP_SOURCE), installed));
    platform::SetExePathForTesting((prefix.path() + "/bin/Quorvel").toStdString());
    QWidget mainWindow;
    QWidget *viewer = platform::ShowHelp(&mainWindow);
    auto *browser = viewer->findChild<QTextBrowser *>("helpBrowser");
    QVERIFY(browser);
    QCOMPARE(QFileInfo(browser->source().toLocalFile()).canonicalFilePath(),
             QFileInfo(installed).canonicalFilePath());
    QCOMPARE(TopLine(browser), QStringLiteral("概要"));
}

void TestHelp::buildCopyIsCurrent()
{
    QFile source(QStringLiteral(QUORVEL_HELP_SOURCE));
    QFile copy(QStringLiteral(QUORVEL_EXE_DIR "/help/index.html"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QVERIFY2(copy.open(QIODevice::ReadOnly), "the build copies the help document beside the executable");
    QVERIFY(copy.readAll() == source.readAll());
}

void TestHelp::documentLinksResolve()
{
    QTextDocument *document = LoadDocument(QStringLiteral(QUORVEL_HELP_SOURCE), this);
    QVERIFY(document);
    QStringList anchors;
    QStringList links;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            anchors << format.anchorNames();
            if (format.isAnchor() && !format.anchorHref().isEmpty())
                links << format.anchorHref();
        }
    }
    QVERIFY(anchors.contains(QStringLiteral("概要")));
    QVERIFY(links.size() > 20);
    for (const QString &link : links) {
        QVERIFY2(link.startsWith('#'), qPrintable("the document links only within itself: " + link));
        QVERIFY2(anchors.contains(link.mid(1)), qPrintable("broken link " + link));
    }
}

void TestHelp::documentCovers_data()
{
    QTest::addColumn<QString>("text");
    // The commands of the main window, by their captions.
    for (const char *caption : {"混在送信",
                                "混在送信形式",
                                "通常形式",
                                "リスト形式",
                                "タイプ",
                                "連続出力",
                                "文字列送信",
                                "文字列送信時のデリミタ",
                                "CR+LF",
                                "登録送信１",
                                "登録送信４",
                                "登録",
                                "文",
                                "ログクリア",
                                "ログ保存",
                                "改行指定",
                                "DTR",
                                "DSR",
                                "RTS",
                                "CTS",
                                "ログ行数",
                                "ファイル",
                                "終了",
                                "設定",
                                "通信設定",
                                "HEXタブ表示",
                                "DECタブ表示",
                                "CHARタブ表示",
                                "TEXTタブ表示",
                                "ヘルプ",
                                "Esc",
                                "SOH",
                                "STX",
                                "ETX",
                                "EOT",
                                "ENQ",
                                "ACK",
                                "NAK",
                                "EOF",
                                "ダブルクリック",
                                "受信時刻表示",
                                "通信ログ記録...",
                                "通信ログ記録中",
                                "スクリプト実行...",
                                "スクリプト停止",
                                "スクリプト実行中"})
        QTest::addRow("command %s", caption) << QString::fromUtf8(caption);
    // Find in the pages.
    for (const char *find : {"検索...", "Ctrl+F", "F3", "Shift+F3", "大文字と小文字を区別", "n / m 件", "??"})
        QTest::addRow("find %s", find) << QString::fromUtf8(find);
    // The three line-break modes and the wait time.
    for (const char *mode : {"規制なし", "CR   受信で改行", "CRLF受信で改行", "改行待ち時間"})
        QTest::addRow("line break %s", mode) << QString::fromUtf8(mode);
    // The mixed-send syntax with examples.
    for (const char *example : {"0x02,\"AB C\",13,10", "\"a,b\"", "$1B", "0xFFFFFFFF", "[IN ]    65   66"})
        QTest::addRow("example %s", example) << QString::fromUtf8(example);
    // The files and the keys of the settings file.
    for (const char *file :
         {"Quorvel.ini",        "SendCombo.dat",   "PButton.ini",     "ProgButtonSet", "BackLogHEX.txt",
          "BackLogDEC.txt",     "BackLogCHAR.txt", "BackLogTEXT.txt", "COMM",          "SPEED",
          "WORDSIZE",           "PARITY",          "STOPBIT",         "FLOW",          "RETCODE",
          "DELIMITER",          "CharDelayTime",   "CTRL_CHECK",      "HEXPAGE",       "HEIGHT",
          "~/.config/Quorvel/", "XDG_CONFIG_HOME"})
        QTest::addRow("file %s", file) << QString::fromUtf8(file);
    // How COM numbers reach devices here.
    for (const char *port : {"[PORTS]", "loopback", "/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM", "コンソール",
                             "/dev/serial/by-id/"})
        QTest::addRow("ports %s", port) << QString::fromUtf8(port);
    // Scripts: every function of the API, the command line without a window and the examples.
    for (const char *api : {"port.send(",
                            "port.write(",
                            "port.expect(",
                            "port.hex\"",
                            "port.read(",
                            "port.readline(",
                            "port.sleep(",
                            "port.set{dtr=, rts=, brk=}",
                            "port.lines()",
                            "port.settings{baud=",
                            "port.log(",
                            "port.fail(",
                            "port.now()",
                            "--run",
                            "--port",
                            "--log",
                            "--timeout",
                            "--help",
                            "at_check.lua",
                            "modbus_poll.lua",
                            "dtr_reset_banner.lua",
                            "{CRC16MODBUS}"})
        QTest::addRow("script %s", api) << QString::fromUtf8(api);
    // The messages the user can meet.
    for (const char *message :
         {"ポートオープンに失敗しました", "通信速度設定が異常です",
          "受信改行待ち時間は１～５０００までの値にしてください", "一括送信できる分割数を超えています。",
          "HHCTRL.OCXが見つかりません", "スクリプトを実行できません。"})
        QTest::addRow("message %s", message) << QString::fromUtf8(message);
}

void TestHelp::documentCovers()
{
    QFETCH(QString, text);
    static QTextDocument *document = LoadDocument(QStringLiteral(QUORVEL_HELP_SOURCE), qApp);
    QVERIFY(document);
    static const QString plain = document->toPlainText().replace(QChar::Nbsp, QLatin1Char(' '));
    QVERIFY2(plain.contains(text), qPrintable(text));
}

void TestHelp::exceptionDisplayText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "abc"
                            << "abc.";
    QTest::newRow("ends in the dot") << "abc."
                                     << "abc.";
    QTest::newRow("Japanese sorts after the dot") << "終了"
                                                  << "終了.";
    QTest::newRow("help viewer") << "HHCTRL.OCXが見つかりません"
                                 << "HHCTRL.OCXが見つかりません.";
    QTest::newRow("'!' sorts before the dot") << "a!"
                                              << "a!";
    QTest::newRow("'-' sorts before the dot") << "a-"
                                              << "a-";
    QTest::newRow("'/' sorts after the dot") << "a/"
                                             << "a/.";
    QTest::newRow("digit") << "code 7"
                           << "code 7.";
    QTest::newRow("empty") << ""
                           << "";
}

void TestHelp::exceptionDisplayText()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(ExceptionDisplayText(message.toStdString()), shown);
}

void TestHelp::showExceptionMessageBox()
{
    QString title;
    QString text;
    int buttons = 0;
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, &poll, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        title = box->windowTitle();
        text = box->text();
        buttons = int(box->buttons().size());
        box->button(QMessageBox::Ok)->click();
    });
    poll.start();
    ShowException(nullptr, std::runtime_error(platform::kHelpViewerMissing));
    poll.stop();
    QCOMPARE(title, QStringLiteral("Quorvel"));
    QCOMPARE(text, QStringLiteral("HHCTRL.OCXが見つかりません."));
    QCOMPARE(buttons, 1);
}

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
