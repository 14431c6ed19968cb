// SPDX-License-Identifier: MIT
// The communication settings dialog. It edits the main window's CommSettings in place and keeps
// no copy: OK writes the checked values straight into it, Cancel and the close box leave it alone.
#pragma once

#include "CommSettings.h"

#include <QDialog>

#include <memory>

class QKeyEvent;

namespace Ui
{
class TfrmSetting;
}

class TfrmSetting : public QDialog
{
    Q_OBJECT

  public:
    TfrmSetting(core::CommSettings &settings, QWidget *parent);
    ~TfrmSetting() override;

  protected:
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void FormShow();
    void BtnOkClick();
    void BtnCancelClick();
    // Typed-character filters: `key` is the character typed; set to 0 it is discarded.
    void cmbSpeedKeyPress(QChar &key);
    void Edit1KeyPress(QChar &key);
    void DigitKeyPress(QWidget *sender, QChar &key);

    void UpdateDeviceLabel();
    // Sizes the client so that the window, frame included, has the form's outer size.
    void FitOuterSize(bool keepCentre);

    std::unique_ptr<Ui::TfrmSetting> ui;
    core::CommSettings &m_settings;
};
