// SPDX-License-Identifier: MIT
// The program's own help viewer: a window beside the main window that shows the help document
// shipped in the "help" folder beside the executable, opened at one of its index entries.
#pragma once

#include <QString>

class QWidget;

namespace platform
{

// Name of the help document, relative to the executable's folder: beside it in the build folder
// and in a portable copy, in the data folder next to the program's own folder where installed.
inline constexpr const char *kHelpDocument = "help/index.html";
inline constexpr const char *kInstalledHelpDocument = QUORVEL_INSTALLED_HELP_DIR "/index.html";

// The message of the exception ShowHelp throws when it cannot show the document. It is the text
// users of the program already know for a missing help viewer.
inline constexpr const char *kHelpViewerMissing = "HHCTRL.OCXが見つかりません";

// Shows the help document at the index entry `keyword` in the viewer window (one per parent,
// created on first use and brought to the front afterwards) and returns that window. Throws
// std::runtime_error with kHelpViewerMissing when there is no widget application to run the
// viewer or the document is in neither place. A keyword the document does not hold
// leaves the document at its top.
QWidget *ShowHelp(QWidget *parent, const QString &keyword = QStringLiteral("概要"));

} // namespace platform
