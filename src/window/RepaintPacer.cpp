// SPDX-License-Identifier: MIT
#include "RepaintPacer.h"

#include <utility>

RepaintPacer::RepaintPacer(int intervalMs, std::function<void()> apply, QObject *parent)
    : QObject(parent), m_intervalMs(intervalMs), m_apply(std::move(apply))
{
    m_due.setSingleShot(true);
    m_due.setTimerType(Qt::PreciseTimer);
    connect(&m_due, &QTimer::timeout, this, [this] { applyNow(); });
}

void RepaintPacer::request()
{
    if (m_due.isActive())
        return; // the due apply shows this change too
    const qint64 since = m_sinceApply.isValid() ? m_sinceApply.elapsed() : m_intervalMs;
    if (since < m_intervalMs) {
        m_due.start(static_cast<int>(m_intervalMs - since));
        return;
    }
    applyNow();
}

void RepaintPacer::applyNow()
{
    m_due.stop();
    m_sinceApply.start();
    m_apply();
}
