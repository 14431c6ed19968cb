// SPDX-License-Identifier: MIT
// Program entry: the application object, the main window and then the settings dialog, the
// message loop. The program reads no arguments; where its files lie is decided in UserFiles.h.
#include "Comset.h"
#include "ExceptionDisplay.h"
#include "Main.h"
#include "StopSignals.h"

#include <QApplication>
#include <QFont>
#include <QSocketNotifier>
#include <QTimer>

#include <exception>
#include <memory>
#include <stdexcept>

namespace
{

// An exception that escapes a handler is shown in a message box and the program goes on, as the
// framework the program was designed with did.
class QuorvelApplication : public QApplication
{
  public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &e) {
            ShowException(QApplication::activeWindow(), e);
        } catch (...) {
            ShowException(QApplication::activeWindow(), std::runtime_error("Unknown exception"));
        }
        return false;
    }
};

// The fonts the layout was drawn with do not exist here; the IPA faces stand in for them, with
// the same split into a fixed-pitch and a proportional face.
void SubstituteFonts()
{
    QFont::insertSubstitutions(QStringLiteral("ＭＳ ゴシック"),
                               {QStringLiteral("IPAGothic"), QStringLiteral("IPAゴシック"),
                                QStringLiteral("Noto Sans Mono CJK JP"), QStringLiteral("DejaVu Sans Mono")});
    QFont::insertSubstitutions(QStringLiteral("ＭＳ Ｐゴシック"),
                               {QStringLiteral("IPAPGothic"), QStringLiteral("IPA Pゴシック"),
                                QStringLiteral("Noto Sans CJK JP"), QStringLiteral("DejaVu Sans")});
}

// A request to end the program from outside closes the main window as the user would, so that
// the settings are written. A dialog in front is closed first: the window closes once its handler
// has run to the end.
void CloseOnStopRequest(QSocketNotifier &notifier, TForm1 &form1)
{
    QObject::connect(&notifier, &QSocketNotifier::activated, &form1, [&form1] {
        if (!platform::TakeStopRequest())
            return;
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        QTimer::singleShot(0, &form1, [&form1] { form1.close(); });
    });
}

} // namespace

int main(int argc, char *argv[])
{
    // First of all, so that a request that comes during the start waits for the window.
    const int stopRequests = platform::CatchStopSignals();
    QuorvelApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    // The desktop entry's name: on Wayland the window gets the menu entry's icon through it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvel.Quorvel"));
    SubstituteFonts();
    try {
        TForm1 form1;
        TfrmSetting frmSetting(form1.CommSettings, &form1);
        form1.SetSettingDialog(&frmSetting);
        std::unique_ptr<QSocketNotifier> stopNotifier;
        if (stopRequests >= 0) {
            stopNotifier = std::make_unique<QSocketNotifier>(stopRequests, QSocketNotifier::Read);
            CloseOnStopRequest(*stopNotifier, form1);
        }
        form1.show();
        app.exec();
        form1.SetSettingDialog(nullptr);
        // The port was closed with the window; let its workers end before the program does.
        TCustomCommX::WaitForWorkers(2000);
    } catch (const std::exception &e) {
        ShowException(QApplication::activeWindow(), e);
    }
    return 0;
}
