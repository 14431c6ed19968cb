// SPDX-License-Identifier: MIT
// "自動応答...": the list of automatic-reply rules, one row each, in the order they are tried.
// OK checks every rule and, when each can be used, hands the list back (Rules()) and accepts;
// a rule that cannot be used is named with the reason and the dialog stays. The counters show how
// often each rule fired; a counter's reset takes effect at once.
#pragma once

#include "AutoReplies.h"

#include <QDialog>

#include <vector>

class QTableWidget;

class AutoReplyDialog : public QDialog
{
    Q_OBJECT

  public:
    AutoReplyDialog(AutoReplies &replies, QWidget *parent);

    std::vector<core::ReplyRule> Rules() const;

  private:
    enum Column { kOn, kName, kKind, kMatch, kReply, kDelay, kTimes, kFired, kColumns };

    void addRow(const core::ReplyRule &rule, int fired);
    void moveRow(int by);
    void accept() override;

    AutoReplies &m_replies;
    QTableWidget *m_table = nullptr;
};
