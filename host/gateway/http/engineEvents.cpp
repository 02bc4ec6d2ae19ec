// HttpServer's events: signals and timers on the engine's own io_context, so that the program
// around the server needs no thread of its own to watch for them.
#include <pthread.h>
#include <signal.h>

#include "httpServerCore.h"

namespace host {

void HttpServerCore::endEvents() {
    std::lock_guard<std::mutex> lock(eventsMutex);
    eventsEnded = true;
    ErrorCode ignored;
    if (signals) {
        signals->cancel(ignored);
    }
    for (const auto& timer : timers) {
        timer->cancel();
    }
    timers.clear();
}

void HttpServerCore::takeSignals() {
    std::lock_guard<std::mutex> lock(eventsMutex);
    if (signalNumbers.empty()) {
        return;
    }
    sigset_t set;
    sigemptyset(&set);
    for (const int number : signalNumbers) {
        sigaddset(&set, number);
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

namespace {

// The handlers hold the core by plain pointer: they run only inside run(), while the server and
// its core live, and a pending one is dropped with the context, which the core owns.

void awaitSignal(HttpServerCore* core,
                 std::shared_ptr<std::function<void(int)>> handler) {
    core->signals->async_wait([core, handler](ErrorCode error, int number) {
        if (error) {
            return;  // cancelled: the stop has finished
        }
        (*handler)(number);
        std::lock_guard<std::mutex> lock(core->eventsMutex);
        if (!core->eventsEnded) {
            awaitSignal(core, handler);
        }
    });
}

// Arms `timer` for `task` after `delay`, and again each `period` when there is one.
void arm(HttpServerCore* core,
         const std::shared_ptr<net::steady_timer>& timer, std::chrono::milliseconds delay,
         std::optional<std::chrono::milliseconds> period,
         std::shared_ptr<std::function<void()>> task) {
    timer->expires_after(delay);
    timer->async_wait([core, timer, period, task](ErrorCode error) {
        if (error) {
            return;
        }
        (*task)();
        std::lock_guard<std::mutex> lock(core->eventsMutex);
        if (core->eventsEnded) {
            return;
        }
        if (period) {
            arm(core, timer, *period, period, task);
        } else {
            std::erase(core->timers, timer);
        }
    });
}

void addTimer(HttpServerCore* core, std::chrono::milliseconds delay,
              std::optional<std::chrono::milliseconds> period, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(core->eventsMutex);
    if (core->eventsEnded) {
        return;
    }
    auto timer = std::make_shared<net::steady_timer>(core->ioc);
    core->timers.push_back(timer);
    arm(core, timer, delay, period, std::make_shared<std::function<void()>>(std::move(task)));
}

}  // namespace

void HttpServer::onSignals(std::vector<int> signals, std::function<void(int)> handler) {
    std::lock_guard<std::mutex> lock(core_->eventsMutex);
    if (core_->signals || core_->eventsEnded) {
        return;
    }
    core_->signals = std::make_unique<net::signal_set>(core_->ioc);
    for (const int number : signals) {
        core_->signals->add(number);
    }
    core_->signalNumbers = std::move(signals);
    awaitSignal(core_.get(), std::make_shared<std::function<void(int)>>(std::move(handler)));
}

void HttpServer::after(std::chrono::milliseconds delay, std::function<void()> task) {
    addTimer(core_.get(), delay, std::nullopt, std::move(task));
}

void HttpServer::every(std::chrono::milliseconds period, std::function<void()> task) {
    addTimer(core_.get(), period, period, std::move(task));
}

}  // namespace host
