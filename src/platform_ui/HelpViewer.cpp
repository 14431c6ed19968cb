// SPDX-License-Identifier: MIT
#include "HelpViewer.h"

#include "ExePath.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPointer>
#include <QSplitter>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>

#include <initializer_list>
#include <stdexcept>

namespace platform
{
namespace
{

// Every named anchor of the document is an index keyword, in the order the document has them.
QStringList AnchorNames(const QTextDocument &document)
{
    QStringList names;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid())
                continue;
            for (const QString &name : fragment.charFormat().anchorNames()) {
                if (!name.isEmpty() && !names.contains(name))
                    names.append(name);
            }
        }
    }
    return names;
}

// The viewer: the keyword index on the left, the document on the right.
class HelpWindow : public QWidget
{
  public:
    explicit HelpWindow(QWidget *parent) : QWidget(parent, Qt::Window)
    {
        setObjectName(QStringLiteral("HelpViewer"));
        setAttribute(Qt::WA_DeleteOnClose);
        setWindowTitle(QStringLiteral("Quorvel ヘルプ"));

        auto *splitter = new QSplitter(this);
        m_index = new QListWidget(splitter);
        m_index->setObjectName(QStringLiteral("helpIndex"));
        m_browser = new QTextBrowser(splitter);
        m_browser->setObjectName(QStringLiteral("helpBrowser"));
        m_browser->setOpenExternalLinks(false);
        splitter->setStretchFactor(0, 0);
        splitter->setStretchFactor(1, 1);
        splitter->setSizes({170, 590});

        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(splitter);
        resize(760, 560);

        connect(m_index, &QListWidget::currentItemChanged, this, [this](QListWidgetItem *item) {
            if (item)
                m_browser->scrollToAnchor(item->text());
        });
    }

    void open(const QUrl &document, const QString &keyword)
    {
        // Loaded afresh on every use, so an edited document is seen without a restart.
        m_browser->clearHistory();
        m_browser->setSource(QUrl());
        m_browser->setSource(document);
        m_index->clear();
        m_index->addItems(AnchorNames(*m_browser->document()));

        const QList<QListWidgetItem *> found = m_index->findItems(keyword, Qt::MatchExactly);
        if (!found.isEmpty())
            m_index->setCurrentItem(found.first()); // scrolls the document there
    }

  private:
    QListWidget *m_index;
    QTextBrowser *m_browser;
};

[[noreturn]] void ThrowViewerMissing()
{
    throw std::runtime_error(kHelpViewerMissing);
}

} // namespace

QWidget *ShowHelp(QWidget *parent, const QString &keyword)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        ThrowViewerMissing();
    QFileInfo info;
    for (const char *document : {kHelpDocument, kInstalledHelpDocument}) {
        info.setFile(QFile::decodeName(QByteArray::fromStdString(ExeDir() + document)));
        if (info.isFile() && info.isReadable())
            break;
    }
    if (!info.isFile() || !info.isReadable())
        ThrowViewerMissing();

    static QPointer<HelpWindow> orphan; // the viewer of a call without a parent window
    HelpWindow *window =
        parent ? parent->findChild<HelpWindow *>(QStringLiteral("HelpViewer"), Qt::FindDirectChildrenOnly)
               : orphan.data();
    if (!window) {
        window = new HelpWindow(parent);
        if (!parent)
            orphan = window;
    }
    // Shown before it scrolls: the browser places an anchor only once it has its size.
    window->show();
    window->open(QUrl::fromLocalFile(info.absoluteFilePath()), keyword);
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace platform
