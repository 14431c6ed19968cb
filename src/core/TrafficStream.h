// SPDX-License-Identifier: MIT
// What the receive path reports as the traffic goes by, for the parts that follow it without
// a window of their own (the traffic log; later the automatic replies and scripts): the bytes as
// they are taken from the port, and every page line once it is complete. The pipeline and the
// senders feed it; a listener sees both directions in the order the pages show them.
//
// Lines are the pages' lines: a received line ends with its line break, after a pause, before a
// sent line, and at "ログクリア"; a sent message is one line. A listener is called on the thread
// that feeds the stream (the display's), within the tick: it must be quick.
#pragma once

#include "SendCells.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core
{

struct CompletedLine {
    bool outgoing = false;
    // A sent line the port did not take (it was closed): shown on the pages, but not on the wire.
    bool notSent = false;
    std::string_view bytes;
    std::int64_t time = 0;           // ms since 1970: when its first byte was taken, or it was sent
    const EchoCells *echo = nullptr; // a sent line: its cells as the pages show them
};

class TrafficListener
{
  public:
    virtual ~TrafficListener() = default;
    // Bytes taken from the port, in order, with the time they were taken from the device.
    virtual void bytesTaken(const std::uint8_t *bytes, std::size_t n, std::int64_t time) {}
    virtual void lineCompleted(const CompletedLine &line) {}
};

class TrafficStream
{
  public:
    // A listener stays until it unsubscribes; it must do so before it goes. One that comes while
    // an incoming line is open gets the lines after it (nobody kept that line's first bytes).
    void subscribe(TrafficListener *listener);
    void unsubscribe(TrafficListener *listener);

    // The pipeline's side.
    void taken(const std::uint8_t *bytes, std::size_t n, std::int64_t time);
    // Received bytes of the open incoming line, which they begin at `time` when none is open.
    void received(const std::uint8_t *bytes, std::size_t n, std::int64_t time);
    // The open incoming line, if any, is complete.
    void endLine();
    // The senders' side: a sent message is one complete line; an incoming line still open ends
    // before it.
    void sent(std::string_view bytes, std::int64_t time, const EchoCells &echo, bool accepted);

    // The incoming line still open, as it stands (a log that stops writes it so).
    std::optional<CompletedLine> openLine() const;

  private:
    std::vector<TrafficListener *> m_listeners;
    bool m_open = false;
    std::int64_t m_openTime = 0;
    std::string m_bytes; // the open line's, while anybody listens
    bool m_kept = false; // m_bytes holds the open line from its first byte: somebody listened then
};

} // namespace core
