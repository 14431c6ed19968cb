// SPDX-License-Identifier: MIT
#include "Program.h"

#include "Comset.h"
#include "ExceptionDisplay.h"
#include "Main.h"

#include <QApplication>
#include <QFont>

#include <exception>
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

} // namespace

int RunProgram(int argc, char *argv[], const std::function<void(TForm1 &)> &shown)
{
    QuorvelApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel"));
    SubstituteFonts();
    try {
        TForm1 form1;
        TfrmSetting frmSetting(form1.CommSettings, &form1);
        form1.SetSettingDialog(&frmSetting);
        form1.show();
        if (shown)
            shown(form1);
        app.exec();
        form1.SetSettingDialog(nullptr);
        // The port was closed with the window; let its workers end before the program does.
        TCustomCommX::WaitForWorkers(2000);
    } catch (const std::exception &e) {
        ShowException(QApplication::activeWindow(), e);
    }
    return 0;
}
