// SPDX-License-Identifier: MIT
// The words the window and the settings dialog use for a port's device: why an open failed and
// what to do about it, what the device is, and whether it could be opened now.
#pragma once

#include "PortDevice.h"

#include <QString>

// The second line of the failed-open message: the cause, and the fix where there is one. Empty
// when the layer below knows nothing about the failure.
QString OpenFailureReason(const platform::OpenProblem &problem);
// The second line of the failed-open message as the window shows it: the reason, and where the
// fix lies in the settings file, that file's full path (it may not exist yet: it is written at the
// close) and the help's section on assigning ports.
QString OpenFailureDetail(const platform::OpenProblem &problem, const QString &settingsFile);
// The status bar while no port is open after a failed open: "ポート未接続: <reason>", and that
// the device is waited for when it is.
QString NotConnectedStatus(const QString &reason, bool waiting);
bool IsNotConnectedStatus(const QString &text);
// A few words on why a port on another machine could not be reached, for a label.
QString ConnectFailureShort(const platform::OpenProblem &problem);

// "/dev/ttyUSB0", or "ループバック".
QString PortTargetName(const platform::PortTarget &target);

// "使用可能", "未検出", "アクセス権なし", "使用中".
QString DeviceStateText(platform::DeviceState state);

// The maker, product and serial number, else the by-id name; empty when sysfs says nothing.
QString DeviceSummary(const platform::DeviceInfo &info);
