#include "fleetrun.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vesk::manage {

QList<DeliveryEvent> runFleet(const QList<FleetJob>& jobs, const Content& content, int parallel,
    const std::function<void(qsizetype, const DeliveryEvent&)>& changed,
    const std::function<void()>& idle, const std::function<void()>& allSent, int idleMs)
{
    std::mutex mutex;
    std::condition_variable news;
    std::deque<std::pair<qsizetype, DeliveryEvent>> events;
    qsizetype next = 0;
    qsizetype running = 0;

    const auto work = [&] {
        for (;;) {
            qsizetype index = 0;
            {
                const std::lock_guard lock(mutex);
                if (next >= jobs.size())
                    return;
                index = next++;
            }
            deliverTo(jobs[index].options, content, [&](const DeliveryEvent& event) {
                const std::lock_guard lock(mutex);
                events.emplace_back(index, event);
                news.notify_one();
            });
        }
    };
    std::vector<std::jthread> workers;
    const qsizetype threads
        = std::clamp<qsizetype>(parallel, 1, std::max<qsizetype>(1, jobs.size()));
    running = threads;
    for (qsizetype i = 0; i < threads; ++i)
        workers.emplace_back([&] {
            work();
            const std::lock_guard lock(mutex);
            --running;
            news.notify_one();
        });

    QList<DeliveryEvent> last(jobs.size());
    bool released = false;
    for (;;) {
        std::deque<std::pair<qsizetype, DeliveryEvent>> taken;
        bool done = false;
        {
            std::unique_lock lock(mutex);
            news.wait_for(lock, std::chrono::milliseconds(idleMs),
                [&] { return !events.empty() || running == 0; });
            taken.swap(events);
            done = running == 0;
        }
        for (const auto& [index, event] : taken) {
            last[index] = event;
            changed(index, event);
        }
        if (!released) {
            const bool sending = std::any_of(last.cbegin(), last.cend(),
                [](const DeliveryEvent& e) { return e.stage < Stage::verifying; });
            if (!sending) {
                released = true;
                allSent();
            }
        }
        if (done)
            break;
        idle();
    }
    return last;
}

void forEachParallel(qsizetype count, int parallel, const std::function<void(qsizetype)>& work)
{
    std::atomic<qsizetype> next = 0;
    std::vector<std::jthread> workers;
    const qsizetype threads = std::clamp<qsizetype>(parallel, 1, std::max<qsizetype>(1, count));
    for (qsizetype i = 0; i < threads; ++i)
        workers.emplace_back([&] {
            for (qsizetype index = next++; index < count; index = next++)
                work(index);
        });
}

void FleetSummary::count(Stage stage)
{
    switch (stage) {
    case Stage::played:
        ++played;
        break;
    case Stage::refused:
        ++refused;
        break;
    case Stage::unreachable:
        ++unreachable;
        break;
    case Stage::unsettled:
        ++unsettled;
        break;
    default:
        ++failed;
        break;
    }
}

int FleetSummary::exitStatus() const
{
    if (unreachable + failed + unsettled > 0)
        return exitTransport;
    return refused > 0 ? exitRefused : exitDone;
}

QString FleetSummary::text(qsizetype registers) const
{
    QString line
        = QStringLiteral("%1 registers: %2 played, %3 refused, %4 unreachable, %5 still "
                         "retrying")
              .arg(registers >= 0 ? registers : played + refused + unreachable + failed + unsettled)
              .arg(played)
              .arg(refused)
              .arg(unreachable)
              .arg(unsettled);
    if (failed > 0)
        line += QStringLiteral(", %1 failed").arg(failed);
    return line;
}

} // namespace vesk::manage
