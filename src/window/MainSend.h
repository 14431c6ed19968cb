// SPDX-License-Identifier: MIT
// What the window's senders share: the guard that keeps two sends from interleaving, and the
// conversions at the widget boundary.
#pragma once

#include "Main.h"

#include <QString>

#include <string>
#include <string_view>

// Held for the whole of one send. A send may wait for room in the transmit queue while the window
// goes on processing its events; a second send started meanwhile would put its bytes between the
// first one's, so it is refused (with a status-bar message) instead.
class SendGuard
{
  public:
    explicit SendGuard(TForm1 &window);
    ~SendGuard();
    SendGuard(const SendGuard &) = delete;
    SendGuard &operator=(const SendGuard &) = delete;

    // False when another send was going: nothing may be sent then.
    bool acquired() const { return m_acquired; }

  private:
    TForm1 &m_window;
    bool m_acquired = false;
};

namespace sendui
{

// Status-bar texts of the senders.
extern const QString kMsgBusy;
extern const QString kMsgUnencodable;

// Widget text with the bytes of value 0x20 or below removed at both ends, as the send logic trims
// its byte strings (CP932 keeps every byte up to 0x20 a character of its own).
QString TrimLow(const QString &text);

QString FromCp932(std::string_view bytes);

} // namespace sendui
