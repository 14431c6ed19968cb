// SPDX-License-Identifier: MIT
#include "PacedScrollBar.h"

#include <QStyle>
#include <QStyleOptionSlider>

#include <utility>

PacedScrollBar::PacedScrollBar(Qt::Orientation orientation, QWidget *parent)
    : QScrollBar(orientation, parent), m_repaint(
                                           kStreamRepaintMs, [this] { repaintIfChanged(); }, this)
{
}

PacedScrollBar::Look PacedScrollBar::look() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    Look l;
    l.handle = style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    l.atStart = option.sliderValue == option.minimum;
    l.atEnd = option.sliderValue == option.maximum;
    l.empty = option.minimum == option.maximum;
    return l;
}

void PacedScrollBar::repaintIfChanged()
{
    if (!m_everPainted || look() != m_painted)
        update();
}

void PacedScrollBar::sliderChange(SliderChange change)
{
    // All the base does is repaint the whole bar; a change's signals and accessibility events
    // come from its callers, so leaving the base out loses nothing else.
    if (change == SliderOrientationChange || !m_everPainted) {
        QScrollBar::sliderChange(change);
        return;
    }
    if (m_streaming && !isSliderDown())
        m_streamChanged = true;
    else
        repaintIfChanged();
}

void PacedScrollBar::endStreamChange()
{
    m_streaming = false;
    if (!std::exchange(m_streamChanged, false))
        return;
    if (look() != m_painted)
        m_repaint.request();
}

void PacedScrollBar::paintEvent(QPaintEvent *event)
{
    m_painted = look();
    m_everPainted = true;
    QScrollBar::paintEvent(event);
}
