// SPDX-License-Identifier: MIT
// While data streams in, what the window shows changes on every 10 ms tick; repainting that often
// costs more than everything else the window does with the data. A pacer lets a change show at
// once after a quiet spell and otherwise at most about once per interval. Waiting pacers of one
// interval are applied together, in one frame, so that the window paints and hands its picture
// to the display once for all of them instead of once for each.
#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <functional>

class RepaintPacer : public QObject
{
  public:
    // What a person still sees as a smooth stream: 25 pictures a second.
    static constexpr int kStreamMs = 40;

    RepaintPacer(int intervalMs, std::function<void()> apply, QObject *parent);
    ~RepaintPacer() override;

    // Applies now when the last apply is an interval old, else with the next frame.
    void request();
    // Forgets a due apply.
    void cancel();
    // Applies a due apply now.
    void flush()
    {
        if (m_waiting)
            applyNow();
    }
    bool pending() const { return m_waiting; }

  private:
    class Frame;
    friend class Frame;
    void applyNow();

    const int m_intervalMs;
    std::function<void()> m_apply;
    QElapsedTimer m_sinceApply;
    bool m_waiting = false;
};
