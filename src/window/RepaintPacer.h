// SPDX-License-Identifier: MIT
// While data streams in, what the window shows changes on every 10 ms tick; repainting that often
// costs more than everything else the window does with the data. A pacer lets a change show at
// once after a quiet spell and otherwise at most once per interval, at the due time.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class RepaintPacer : public QObject
{
  public:
    // What a person still sees as a smooth stream: 25 pictures a second.
    static constexpr int kStreamMs = 40;

    RepaintPacer(int intervalMs, std::function<void()> apply, QObject *parent);

    // Applies now when the last apply is an interval old, else once at the due time.
    void request();
    // Forgets a due apply.
    void cancel() { m_due.stop(); }
    // Applies a due apply now.
    void flush()
    {
        if (m_due.isActive())
            applyNow();
    }
    bool pending() const { return m_due.isActive(); }

  private:
    void applyNow();

    const int m_intervalMs;
    std::function<void()> m_apply;
    QTimer m_due;
    QElapsedTimer m_sinceApply;
};
