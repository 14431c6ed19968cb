// SPDX-License-Identifier: MIT
#include "AutoReplyDialog.h"

#include "Cp932Text.h"
#include "ExceptionDisplay.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace
{

QString Bytes(const std::string &bytes)
{
    return FromCp932(bytes);
}

} // namespace

AutoReplyDialog::AutoReplyDialog(AutoReplies &replies, QWidget *parent) : QDialog(parent), m_replies(replies)
{
    setObjectName(QStringLiteral("frmAutoReply"));
    setWindowTitle(QStringLiteral("自動応答"));
    resize(900, 360);
    m_table = new QTableWidget(0, kColumns, this);
    m_table->setObjectName(QStringLiteral("tblRules"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("有効"), QStringLiteral("名前"),
                                        QStringLiteral("種類"), QStringLiteral("受信パターン"),
                                        QStringLiteral("応答（混在送信）"), QStringLiteral("遅延 ms"),
                                        QStringLiteral("回数"), QStringLiteral("応答数")});
    m_table->horizontalHeader()->setSectionResizeMode(kMatch, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(kReply, QHeaderView::Stretch);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    for (std::size_t i = 0; i < replies.rules().size(); ++i)
        addRow(replies.rules()[i], replies.fired(static_cast<int>(i)));

    auto *add = new QPushButton(QStringLiteral("追加"), this);
    auto *remove = new QPushButton(QStringLiteral("削除"), this);
    auto *up = new QPushButton(QStringLiteral("上へ"), this);
    auto *down = new QPushButton(QStringLiteral("下へ"), this);
    auto *reset = new QPushButton(QStringLiteral("応答数をリセット"), this);
    add->setObjectName(QStringLiteral("btnAddRule"));
    remove->setObjectName(QStringLiteral("btnRemoveRule"));
    reset->setObjectName(QStringLiteral("btnResetCount"));
    connect(add, &QPushButton::clicked, this, [this] {
        core::ReplyRule rule;
        rule.name = "rule" + std::to_string(m_table->rowCount() + 1);
        addRow(rule, 0);
        m_table->selectRow(m_table->rowCount() - 1);
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (m_table->currentRow() >= 0)
            m_table->removeRow(m_table->currentRow());
    });
    connect(up, &QPushButton::clicked, this, [this] { moveRow(-1); });
    connect(down, &QPushButton::clicked, this, [this] { moveRow(1); });
    connect(reset, &QPushButton::clicked, this, [this] {
        const int row = m_table->currentRow();
        if (row < 0)
            return;
        // Only a rule that is still the one the replies have: a row added here counts nothing yet.
        const int kept = m_table->item(row, kFired)->data(Qt::UserRole).toInt();
        if (kept >= 0)
            m_replies.resetFired(kept);
        m_table->item(row, kFired)->setText(QStringLiteral("0"));
    });

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { accept(); });
    connect(buttons, &QDialogButtonBox::rejected, this, [this] { reject(); });
    auto *side = new QHBoxLayout;
    for (QPushButton *b : {add, remove, up, down, reset})
        side->addWidget(b);
    side->addStretch();
    side->addWidget(buttons);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(side);
}

void AutoReplyDialog::addRow(const core::ReplyRule &rule, int fired)
{
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    auto *on = new QCheckBox(m_table);
    on->setChecked(rule.enabled);
    m_table->setCellWidget(row, kOn, on);
    m_table->setItem(row, kName, new QTableWidgetItem(Bytes(rule.name)));
    auto *kind = new QComboBox(m_table);
    kind->addItems({QStringLiteral("HEX"), QStringLiteral("テキスト")});
    kind->setCurrentIndex(rule.matchKind == core::ReplyRule::MatchKind::Text ? 1 : 0);
    m_table->setCellWidget(row, kKind, kind);
    m_table->setItem(row, kMatch, new QTableWidgetItem(Bytes(rule.match)));
    m_table->setItem(row, kReply, new QTableWidgetItem(Bytes(rule.reply)));
    auto *delay = new QSpinBox(m_table);
    delay->setRange(0, core::ReplyRule::kMaxDelayMs);
    delay->setValue(rule.delayMs);
    m_table->setCellWidget(row, kDelay, delay);
    auto *times = new QSpinBox(m_table);
    times->setRange(0, 1000000);
    times->setSpecialValueText(QStringLiteral("毎回"));
    times->setValue(rule.times);
    m_table->setCellWidget(row, kTimes, times);
    auto *count = new QTableWidgetItem(QString::number(fired));
    count->setFlags(count->flags() & ~Qt::ItemIsEditable);
    // Which of the replies' rules the row stands for, so that its counter can be reset.
    count->setData(Qt::UserRole, row < static_cast<int>(m_replies.rules().size()) &&
                                         m_replies.rules()[static_cast<std::size_t>(row)] == rule
                                     ? row
                                     : -1);
    m_table->setItem(row, kFired, count);
}

void AutoReplyDialog::moveRow(int by)
{
    const int row = m_table->currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= m_table->rowCount())
        return;
    std::vector<core::ReplyRule> rules = Rules();
    std::vector<int> fired, kept;
    for (int r = 0; r < m_table->rowCount(); ++r) {
        fired.push_back(m_table->item(r, kFired)->text().toInt());
        kept.push_back(m_table->item(r, kFired)->data(Qt::UserRole).toInt());
    }
    std::swap(rules[static_cast<std::size_t>(row)], rules[static_cast<std::size_t>(to)]);
    std::swap(fired[static_cast<std::size_t>(row)], fired[static_cast<std::size_t>(to)]);
    std::swap(kept[static_cast<std::size_t>(row)], kept[static_cast<std::size_t>(to)]);
    m_table->setRowCount(0);
    for (std::size_t i = 0; i < rules.size(); ++i) {
        addRow(rules[i], fired[i]);
        m_table->item(static_cast<int>(i), kFired)->setData(Qt::UserRole, kept[i]);
    }
    m_table->selectRow(to);
}

std::vector<core::ReplyRule> AutoReplyDialog::Rules() const
{
    std::vector<core::ReplyRule> rules;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        core::ReplyRule r;
        r.enabled = qobject_cast<QCheckBox *>(m_table->cellWidget(row, kOn))->isChecked();
        r.name = ToCp932(m_table->item(row, kName)->text()).value_or(std::string());
        r.matchKind = qobject_cast<QComboBox *>(m_table->cellWidget(row, kKind))->currentIndex() == 1
                          ? core::ReplyRule::MatchKind::Text
                          : core::ReplyRule::MatchKind::Hex;
        r.match = ToCp932(m_table->item(row, kMatch)->text()).value_or(std::string());
        r.reply = ToCp932(m_table->item(row, kReply)->text()).value_or(std::string());
        r.delayMs = qobject_cast<QSpinBox *>(m_table->cellWidget(row, kDelay))->value();
        r.times = qobject_cast<QSpinBox *>(m_table->cellWidget(row, kTimes))->value();
        r.problem = core::RuleProblem(r);
        rules.push_back(std::move(r));
    }
    return rules;
}

void AutoReplyDialog::accept()
{
    for (int row = 0; row < m_table->rowCount(); ++row) {
        QString problem;
        for (const int column : {kName, kMatch, kReply}) {
            const QString text = m_table->item(row, column)->text();
            if (!ToCp932(text))
                problem = QStringLiteral("使えない文字が含まれています");
            else if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')))
                problem = QStringLiteral("改行は使えません");
        }
        if (problem.isEmpty()) {
            core::ReplyRule r = Rules()[static_cast<std::size_t>(row)];
            if (!r.problem.empty())
                problem = QString::fromStdString(r.problem);
        }
        if (!problem.isEmpty()) {
            ShowAppMessage(this,
                           QStringLiteral("%1 行目の規則「%2」を使えません: %3")
                               .arg(row + 1)
                               .arg(m_table->item(row, kName)->text(), problem),
                           QMessageBox::Warning);
            m_table->selectRow(row);
            return;
        }
    }
    QDialog::accept();
}
