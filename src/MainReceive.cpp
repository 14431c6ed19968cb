// SPDX-License-Identifier: MIT
// The window's side of the receive display: the component's receive event fills the ring, and
// the 10 ms tick runs the pipeline, shows the line counter, repaints the four views once and
// reads the input lines.
#include "Main.h"

#include "ui_Main.h"

#include "PageView.h"
#include "RxPipeline.h"

#include <QLabel>
#include <QStatusBar>
#include <QTimer>

namespace
{

// What one receive event takes from the component before handing it to the ring in one piece.
constexpr std::size_t kReceiveChunk = 4096;

} // namespace

core::PageSet TForm1::Pages()
{
    core::PageSet set;
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        set.page[i] = &m_pages[i];
        set.visible[i] = PageVisible[i] != 0;
    }
    return set;
}

void TForm1::CommX1Receive(QObject *Sender, std::int32_t ReceiveSize)
{
    std::uint8_t chunk[kReceiveChunk];
    std::size_t n = 0;
    do {
        const std::int32_t c = CommX1.ReceiveChar();
        if (c < 0)
            break; // a failed read is no byte
        chunk[n++] = static_cast<std::uint8_t>(c);
        if (n == kReceiveChunk) {
            m_rx->receive(chunk, n, m_tick());
            n = 0;
        }
    } while (CommX1.GetReceiveLength() > 0);
    if (n > 0)
        m_rx->receive(chunk, n, m_tick());
}

void TForm1::Timer1Timer()
{
    Timer1->stop();
    const core::TickResult result =
        m_rx->tick(m_tick(), ui->ComboBox1->currentIndex(), CommSettings.RecvLineWait, Pages(),
                   [this](std::string &error) { return SavePageFiles(&error); });
    const QString count = QStringLiteral("ログ行数: %1").arg(result.lineCount);
    if (ui->stLogCount->text() != count) {
        // The counter sizes itself to its text, so that long counts are not cut.
        ui->stLogCount->setText(count);
        ui->stLogCount->adjustSize();
    }
    if (result.reportSaveFailure) {
        // The pages stay as they are and the display goes on; the next limit tries again.
        ui->StatusBar1->showMessage(
            QStringLiteral("ログ保存に失敗しました: %1").arg(QString::fromStdString(result.saveError)));
    }
    if (result.pagesChanged)
        RefreshViews();
    CtrlLineStep();
    Timer1->start();
}

void TForm1::RefreshViews()
{
    for (PageView *memo : m_memos)
        memo->refresh();
}

void TForm1::AppendOutLine(int page, const std::string &cells)
{
    core::AppendOutLine(Pages(), page, cells);
}
