// SPDX-License-Identifier: MIT
// Find in the pages: the menu item "検索..." (Ctrl+F) and the find bar over the bottom of the
// active page, which the receive view's changes keep up to date.
#include "Main.h"

#include "ui_Main.h"

#include "FindBar.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

void TForm1::CreateFindItems()
{
    m_mnuFind = ui->mnuFile->addAction(QStringLiteral("検索..."));
    m_mnuFind->setObjectName(QStringLiteral("mnuFind"));
    m_mnuFind->setShortcut(QKeySequence::Find);
    m_findBar = new FindBar(ui->PageControl1, m_memos, [this] { return ActivePageIndex(); });
    connect(m_mnuFind, &QAction::triggered, this, [this] { mnuFindClick(); });
    connect(&m_view, &ReceiveView::pagesChanged, this, [this] { m_findBar->pagesChanged(); });
}

void TForm1::mnuFindClick()
{
    m_findBar->open();
}
