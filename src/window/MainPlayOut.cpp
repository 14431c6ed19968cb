// SPDX-License-Identifier: MIT
// The continuous output: a file played out line by line, each line a mixed send of its own.
#include "MainSend.h"

#include "ui_Main.h"

#include "LineReader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>

namespace
{

// While the transmit queue has room the sends never wait, and so never let the window process
// its events; the play-out then does so itself at this interval to keep the window alive.
constexpr qint64 kEventIntervalMs = 30;

} // namespace

void TForm1::BtnMultiLineClick()
{
    const QString chosen =
        QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("すべてのファイル (*)"));
    const QString path = sendui::TrimLow(chosen);
    if (path.isEmpty())
        return;
    PlayOutFile(path);
}

bool TForm1::PlayOutFile(const QString &path)
{
    const SendGuard guard(*this);
    if (!guard.acquired())
        return false;
    core::LineReader reader(QFile::encodeName(path).toStdString());
    if (!reader.isOpen())
        return false;

    QElapsedTimer sinceEvents;
    sinceEvents.start();
    std::string line;
    m_playingOut = true;
    m_stopPlayOut = false;
    // Closing the window ends the play-out: the close shuts the port (a waiting send returns) and
    // no further line is read. So does a device that went away.
    while (!m_closed && !m_stopPlayOut && reader.next(line)) {
        SendMixText(line);
        if (sinceEvents.elapsed() >= kEventIntervalMs) {
            QCoreApplication::processEvents();
            sinceEvents.restart();
        }
    }
    m_playingOut = false;
    m_stopPlayOut = false;
    return true;
}
