// SPDX-License-Identifier: MIT
// How long this program's window takes to answer, measured as a window manager sees it: a thread
// sends _NET_WM_PING to the window at a steady pace and times each reply, which the window's
// event loop sends. A window that stops answering is what a user sees as a hang, whatever the
// bytes received say. It talks to the X server itself (libxcb) and does not need Qt.
#pragma once

#include "SetupError.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace bench
{

struct PingFigures {
    std::vector<double> ms; // round trips; an unanswered ping counts as WindowPinger::kGiveUp
    int unanswered = 0;
    std::string error;
};

// Whether the display is an X server the window is on: under QT_QPA_PLATFORM=offscreen there is
// no window to ping.
inline bool PingWanted()
{
    const char *display = std::getenv("DISPLAY");
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    return display && *display &&
           (!platform || !*platform || std::string_view(platform).substr(0, 3) == "xcb");
}

// Asks the program's window what a window manager asks to see whether a client hangs: the
// client's event loop answers each _NET_WM_PING by sending it on to the root window.
class WindowPinger
{
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kInterval = std::chrono::milliseconds(20);
    static constexpr auto kGiveUp = std::chrono::seconds(1);

    // Connects to the display and waits, until `deadline`, for a viewable window of `pid` that
    // takes _NET_WM_PING.
    WindowPinger(pid_t pid, Clock::time_point deadline) : m_c(xcb_connect(nullptr, nullptr), xcb_disconnect)
    {
        if (xcb_connection_has_error(m_c.get()))
            throw SetupError("cannot connect to the X display");
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c.get())).data->root;
        m_protocols = atom("WM_PROTOCOLS");
        m_ping = atom("_NET_WM_PING");
        m_pidAtom = atom("_NET_WM_PID");
        // The reply goes to the root window for the clients selecting SubstructureNotify there;
        // StructureNotify as well in case a client names that. Without a window manager, no one
        // else holds the root.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_c.get(), m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_c.get());
        while (!(m_window = find(m_root, static_cast<uint32_t>(pid)))) {
            if (Clock::now() > deadline)
                throw SetupError("no viewable window of the program takes _NET_WM_PING");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    WindowPinger(const WindowPinger &) = delete;
    WindowPinger &operator=(const WindowPinger &) = delete;
    ~WindowPinger() { stop(); }

    void start()
    {
        m_thread = std::thread([this] { run(); });
    }

    // Stops sending and waits for the replies still due (at most kGiveUp).
    PingFigures stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_figures;
    }

  private:
    using Waiting = std::map<uint32_t, Clock::time_point>;

    xcb_atom_t atom(const char *name)
    {
        const auto cookie = xcb_intern_atom(m_c.get(), 0, static_cast<uint16_t>(std::strlen(name)), name);
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(m_c.get(), cookie, nullptr), std::free);
        if (!reply)
            throw SetupError(std::string("cannot intern ") + name);
        return reply->atom;
    }

    std::vector<uint32_t> property32(xcb_window_t window, xcb_atom_t property, xcb_atom_t type)
    {
        const auto cookie = xcb_get_property(m_c.get(), 0, window, property, type, 0, 64);
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(m_c.get(), cookie, nullptr), std::free);
        if (!reply || reply->format != 32)
            return {};
        const auto *values = static_cast<const uint32_t *>(xcb_get_property_value(reply.get()));
        std::vector<uint32_t> list(reply->value_len);
        std::copy_n(values, list.size(), list.begin());
        return list;
    }

    bool viewable(xcb_window_t window)
    {
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> reply(
            xcb_get_window_attributes_reply(m_c.get(), xcb_get_window_attributes(m_c.get(), window), nullptr),
            std::free);
        return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    bool pingable(xcb_window_t window, uint32_t pid)
    {
        const auto pids = property32(window, m_pidAtom, XCB_ATOM_CARDINAL);
        if (pids.empty() || pids[0] != pid)
            return false;
        const auto protocols = property32(window, m_protocols, XCB_ATOM_ATOM);
        return std::find(protocols.begin(), protocols.end(), m_ping) != protocols.end() && viewable(window);
    }

    // Depth first under `parent`; 0 when there is none yet.
    xcb_window_t find(xcb_window_t parent, uint32_t pid)
    {
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
            xcb_query_tree_reply(m_c.get(), xcb_query_tree(m_c.get(), parent), nullptr), std::free);
        if (!tree)
            return 0;
        const xcb_window_t *children = xcb_query_tree_children(tree.get());
        const std::vector<xcb_window_t> list(children, children + xcb_query_tree_children_length(tree.get()));
        for (const xcb_window_t child : list) {
            if (pingable(child, pid))
                return child;
            if (const xcb_window_t below = find(child, pid))
                return below;
        }
        return 0;
    }

    void send(uint32_t counter)
    {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = m_window;
        event.type = m_protocols;
        event.data.data32[0] = m_ping;
        event.data.data32[1] = counter;
        event.data.data32[2] = m_window;
        xcb_send_event(m_c.get(), 0, m_window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&event));
        xcb_flush(m_c.get());
    }

    void takeReplies(Waiting &waiting)
    {
        while (xcb_generic_event_t *raw = xcb_poll_for_event(m_c.get())) {
            std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(raw, std::free);
            if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
                continue;
            const auto *message = reinterpret_cast<const xcb_client_message_event_t *>(raw);
            if (message->window != m_root || message->type != m_protocols || message->format != 32 ||
                message->data.data32[0] != m_ping)
                continue;
            const auto it = waiting.find(message->data.data32[1]);
            if (it == waiting.end())
                continue; // given up on already
            m_figures.ms.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - it->second).count());
            waiting.erase(it);
        }
    }

    void giveUpOnOld(Waiting &waiting)
    {
        const auto now = Clock::now();
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (now - it->second <= kGiveUp) {
                ++it;
                continue;
            }
            m_figures.ms.push_back(std::chrono::duration<double, std::milli>(kGiveUp).count());
            ++m_figures.unanswered;
            it = waiting.erase(it);
        }
    }

    void run()
    {
        Waiting waiting;
        uint32_t counter = 0;
        auto next = Clock::now();
        while (!m_stop || !waiting.empty()) {
            if (xcb_connection_has_error(m_c.get())) {
                m_figures.error = "the X connection broke";
                return;
            }
            if (!m_stop && Clock::now() >= next) {
                waiting[++counter] = Clock::now();
                send(counter);
                next = std::max(next + kInterval, Clock::now());
            }
            takeReplies(waiting);
            giveUpOnOld(waiting);
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            pollfd p{xcb_get_file_descriptor(m_c.get()), POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::clamp<long long>(m_stop ? 5 : wait, 0, 20)));
            takeReplies(waiting);
        }
    }

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> m_c;
    xcb_window_t m_root = 0;
    xcb_window_t m_window = 0;
    xcb_atom_t m_protocols = 0;
    xcb_atom_t m_ping = 0;
    xcb_atom_t m_pidAtom = 0;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
    PingFigures m_figures;
};

} // namespace bench
