// The threads of the gateway's background work (fetches, the deadline watcher): each one owned and
// joined, none detached, and none taking the process's signals, which the HTTP engine's threads
// handle (httpServer.h).
//
// Thread-safety: spawn() may be called from any thread. The destructor joins every thread, so the
// owner must first make sure that each job ends (a job inside the plug-in may never end: the
// process then exits without destroying its owner).
#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace host {

// A thread with every signal blocked, so that a signal never interrupts a call of the plug-in or
// of the state.
std::thread quietThread(std::function<void()> job);

class ThreadGroup {
  public:
    ThreadGroup() = default;
    ~ThreadGroup();
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // Runs `job` on a new quiet thread; joins the threads whose jobs have ended first. Throws
    // std::system_error when no thread can be made.
    void spawn(std::function<void()> job);

  private:
    struct Worker {
        std::thread thread;
        bool done = false;
    };
    std::mutex mutex_;
    std::list<Worker> workers_;
};

}  // namespace host
