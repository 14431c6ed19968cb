// SPDX-License-Identifier: MIT
// How the program tells the user something: a message box with one OK button and the
// application's title as its caption. An exception that escapes an event handler is shown the
// same way, by ShowException, from the application's event dispatch.
#pragma once

#include <QMessageBox>
#include <QString>

#include <exception>
#include <string>

class QWidget;

// The caption of every message box of the program.
QString ApplicationTitle();

// The text shown for an exception's message (UTF-8): the message with a "." added when its last
// character sorts after "." (so "終了" becomes "終了." while "a!" and "abc." stay as they are).
QString ExceptionDisplayText(const std::string &message);

// Shows `text` in a modal message box with one OK button; returns when the user has closed it.
// `detail`, when not empty, is a second, informative line below the text.
void ShowAppMessage(QWidget *parent, const QString &text, QMessageBox::Icon icon = QMessageBox::Warning,
                    const QString &detail = {});

// Shows an exception that escaped an event handler.
void ShowException(QWidget *parent, const std::exception &error);
