// SPDX-License-Identifier: MIT
// A scroll bar costs more to paint than a page's rows, and while lines stream in its range and
// value change on every tick although what it shows mostly does not: once the page holds a few
// hundred lines its handle has its smallest size and sits at the end. This bar repaints for a
// change of range or value only when the picture changes, and while the page streams at a slower
// pace than the rows. Its values are current at once for whoever reads them.
#pragma once

#include "RepaintPacer.h"

#include <QRect>
#include <QScrollBar>

class PacedScrollBar : public QScrollBar
{
  public:
    static constexpr int kStreamRepaintMs = 200;

    PacedScrollBar(Qt::Orientation orientation, QWidget *parent);

    // Changes made between these show at the bar's pace, and only as they stand at the end: the
    // range grows before the value follows it to the end, and the bar in between is never shown.
    // Other changes (the person scrolling) show at once.
    void beginStreamChange() { m_streaming = true; }
    void endStreamChange();
    // Shows a change still waiting for its pace now.
    void flush() { m_repaint.flush(); }

  protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent *event) override;

  private:
    // What a change of range or value can alter in the picture.
    struct Look {
        QRect handle;
        bool atStart = false, atEnd = false, empty = false;
        bool operator==(const Look &) const = default;
    };
    Look look() const;
    void repaintIfChanged();

    RepaintPacer m_repaint;
    Look m_painted;
    bool m_everPainted = false;
    bool m_streaming = false;
    bool m_streamChanged = false;
};
