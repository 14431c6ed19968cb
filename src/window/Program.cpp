// SPDX-License-Identifier: MIT
#include "Program.h"

#include "Comset.h"
#include "ExceptionDisplay.h"
#include "Main.h"
#include "ScriptCommand.h"
#include "StopSignals.h"

#include <QApplication>
#include <QFont>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
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
// the settings are written. A dialog or message box in front is closed first, and the window only
// once the handler that opened it has run to its end (it may open another, closed in turn): that
// is, once the program is back in its main event loop, not in one of a dialog, nor still in the
// start, where the failed-open message runs its own.
class StopRequestHandler : public QObject
{
  public:
    StopRequestHandler(int fd, TForm1 &form1) : m_notifier(fd, QSocketNotifier::Read), m_form1(form1)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] {
            if (platform::TakeStopRequest())
                closeWhenBack();
        });
    }
    // Called just before the main loop runs: its first pass says it runs.
    void mainLoopStarts()
    {
        QTimer::singleShot(0, this, [this] { m_mainLoopRuns = true; });
    }

  private:
    void closeWhenBack()
    {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        if (!m_mainLoopRuns || QThread::currentThread()->loopLevel() > 1) {
            QTimer::singleShot(20, this, [this] { closeWhenBack(); });
            return;
        }
        m_form1.close();
    }

    QSocketNotifier m_notifier;
    TForm1 &m_form1;
    bool m_mainLoopRuns = false;
};

} // namespace

int RunProgram(int argc, char *argv[], const std::function<void(TForm1 &)> &shown)
{
    // Decided before any application object: a script without a window needs no display.
    if (const std::optional<int> code = script_command::Run(argc, argv))
        return *code;
    // First of all, so that a request that comes during the start waits for the window.
    const int stopRequests = platform::CatchStopSignals();
    QuorvelApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    // The desktop entry's name: on Wayland the window gets the menu entry's icon through it.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvel.Quorvel"));
    SubstituteFonts();
    try {
        TForm1 form1;
        // The program's icon for its other windows (the settings dialog, the message boxes) too.
        QApplication::setWindowIcon(form1.windowIcon());
        TfrmSetting frmSetting(form1.CommSettings(), &form1);
        form1.SetSettingDialog(&frmSetting);
        std::unique_ptr<StopRequestHandler> stopHandler;
        if (stopRequests >= 0)
            stopHandler = std::make_unique<StopRequestHandler>(stopRequests, form1);
        form1.show();
        if (shown)
            shown(form1);
        if (stopHandler)
            stopHandler->mainLoopStarts();
        app.exec();
        form1.SetSettingDialog(nullptr);
        // The port was closed with the window; let its workers end before the program does.
        TCustomCommX::WaitForWorkers(2000);
    } catch (const std::exception &e) {
        ShowException(QApplication::activeWindow(), e);
    }
    return 0;
}
