// SPDX-License-Identifier: MIT
// The communication settings dialog. It shows the settings it was given; OK checks the controls
// and, when they are valid, makes them the dialog's settings and accepts. The window takes them
// from Settings() after an accepted showing; Cancel and the close box change nothing.
#pragma once

#include "CommSettings.h"

#include <QDialog>

#include <functional>
#include <memory>

class QKeyEvent;
class QTimer;

namespace Ui
{
class TfrmSetting;
}

class TfrmSetting : public QDialog
{
    Q_OBJECT

  public:
    TfrmSetting(core::CommSettings settings, QWidget *parent);
    ~TfrmSetting() override;

    void SetSettings(const core::CommSettings &settings) { m_settings = settings; }
    // How the last connect to a port on another machine went, by COM number (empty: not tried).
    void SetRemoteStates(std::function<QString(int comNo)> state) { m_remoteState = std::move(state); }
    const core::CommSettings &Settings() const { return m_settings; }

  protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
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
    std::function<QString(int)> m_remoteState;
    // Sizes the client so that the window, frame included, has the form's outer size.
    void FitOuterSize(bool keepCentre);

    std::unique_ptr<Ui::TfrmSetting> ui;
    core::CommSettings m_settings;
    QTimer *m_follow = nullptr;
};
