#include "threadGroup.h"

#include <pthread.h>
#include <signal.h>

namespace host {

std::thread quietThread(std::function<void()> job) {
    // The new thread inherits the mask of the one that makes it: blocked here, just for that.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    try {
        std::thread thread(std::move(job));
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return thread;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw;
    }
}

ThreadGroup::~ThreadGroup() {
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (Worker& worker : workers) {
        if (worker.thread.joinable()) {
            worker.thread.join();
        }
    }
}

void ThreadGroup::spawn(std::function<void()> job) {
    std::list<Worker> ended;
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        const auto next = std::next(it);
        if (it->done) {
            ended.splice(ended.end(), workers_, it);
        }
        it = next;
    }
    Worker& worker = workers_.emplace_back();
    try {
        worker.thread = quietThread([this, &worker, job = std::move(job)] {
            job();
            std::lock_guard<std::mutex> doneLock(mutex_);
            worker.done = true;
        });
    } catch (...) {
        workers_.pop_back();
        throw;
    }
    lock.unlock();
    for (Worker& old : ended) {
        old.thread.join();
    }
}

}  // namespace host
