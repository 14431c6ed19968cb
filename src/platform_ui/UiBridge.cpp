// SPDX-License-Identifier: MIT
#include "UiBridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <deque>
#include <mutex>
#include <utility>

namespace platform
{
namespace
{

// The calls travel through a queue of our own under a standard mutex, and Qt only carries a
// doorbell: the hand-over of the call's data is then visible to thread checkers, which cannot see
// through Qt's own uninstrumented locking.
struct Pending {
    QObject *context;
    std::function<void()> fn;
};

std::mutex g_mutex;
std::deque<Pending> g_pending;

void RunPendingFor(QObject *context)
{
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(g_mutex);
            auto it = g_pending.begin();
            while (it != g_pending.end() && it->context != context)
                ++it;
            if (it == g_pending.end())
                return;
            fn = std::move(it->fn);
            g_pending.erase(it);
        }
        fn();
    }
}

} // namespace

void PostToUi(QObject *context, std::function<void()> fn)
{
    // One doorbell per call keeps the order; a doorbell that finds its call already taken by an
    // earlier one does nothing. The doorbell is made under the queue's lock and reads what it
    // carries under it, so that the hand-over of the doorbell itself is visible to thread checkers
    // too. Posting takes only Qt's own lock, which is never held while this one is taken.
    std::lock_guard lock(g_mutex);
    g_pending.push_back({context, std::move(fn)});
    QMetaObject::invokeMethod(
        context,
        [context] {
            QObject *target;
            {
                std::lock_guard inner(g_mutex);
                target = context;
            }
            RunPendingFor(target);
        },
        Qt::QueuedConnection);
}

void ProcessMessages()
{
    QCoreApplication::processEvents();
}

void ProcessMessagesWithoutInput()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace platform
