// SPDX-License-Identifier: MIT
#include "RepaintPacer.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

// The pacers of one interval that wait, and the timer of their next frame.
class RepaintPacer::Frame : public QObject
{
  public:
    static Frame &of(int intervalMs)
    {
        // Pacers pace widgets, which live on the user-interface thread. A frame is owned by the
        // application, so that its timer goes before the application does.
        static std::map<int, QPointer<Frame>> frames;
        QPointer<Frame> &f = frames[intervalMs];
        if (!f)
            f = new Frame(QCoreApplication::instance());
        return *f;
    }

    void join(RepaintPacer *p, int dueInMs)
    {
        m_waiting.push_back(p);
        if (!m_timer.isActive())
            m_timer.start(std::max(0, dueInMs));
    }

    void leave(RepaintPacer *p)
    {
        m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), p), m_waiting.end());
        if (m_waiting.empty())
            m_timer.stop();
    }

  private:
    explicit Frame(QObject *parent) : QObject(parent)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            // A pacer that requests again while applying waits for the next frame; an apply may
            // also end or cancel a pacer still to come in this one.
            const std::vector<QPointer<RepaintPacer>> due(m_waiting.begin(), m_waiting.end());
            m_waiting.clear();
            for (const QPointer<RepaintPacer> &p : due)
                if (p && p->m_waiting)
                    p->applyNow();
        });
    }

    ~Frame() override
    {
        for (RepaintPacer *p : m_waiting)
            p->m_waiting = false;
    }

    QTimer m_timer;
    std::vector<RepaintPacer *> m_waiting;
};

RepaintPacer::RepaintPacer(int intervalMs, std::function<void()> apply, QObject *parent)
    : QObject(parent), m_intervalMs(intervalMs), m_apply(std::move(apply))
{
}

RepaintPacer::~RepaintPacer()
{
    cancel();
}

void RepaintPacer::request()
{
    if (m_waiting)
        return; // the coming frame shows this change too
    const qint64 since = m_sinceApply.isValid() ? m_sinceApply.elapsed() : m_intervalMs;
    if (since >= m_intervalMs || !QCoreApplication::instance()) {
        applyNow();
        return;
    }
    m_waiting = true;
    Frame::of(m_intervalMs).join(this, static_cast<int>(m_intervalMs - since));
}

void RepaintPacer::cancel()
{
    if (!m_waiting)
        return;
    m_waiting = false;
    Frame::of(m_intervalMs).leave(this);
}

void RepaintPacer::applyNow()
{
    cancel();
    m_sinceApply.start();
    m_apply();
}
