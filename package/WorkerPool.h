// A few threads taking small jobs from one queue, for work whose pieces are
// independent (a package's entries). The thread that waits for the jobs
// works along, so one worker means no thread at all. A job is a function
// pointer with a context and a number: posting one allocates nothing beyond
// the queue's own room.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class CWorkerPool {
public:
    // worker: 0 .. Workers() - 1, for per-worker scratch.
    using JobFunction = void (*)(void* context, uint32_t argument, unsigned worker);
    struct Job {
        JobFunction run;
        void* context;
        uint32_t argument;
    };

    // Runs up to `workers` jobs at once, the waiting thread included. Starts
    // fewer threads when the system refuses more.
    explicit CWorkerPool(unsigned workers);
    // Waits for the jobs that are running, drops the queued ones.
    virtual ~CWorkerPool();

    CWorkerPool(const CWorkerPool&) = delete;
    CWorkerPool& operator=(const CWorkerPool&) = delete;

    unsigned Workers() const { return static_cast<unsigned>(m_threads.size()) + 1; }
    // Queues a job, at the front when it should run before those waiting;
    // false when the queue cannot grow.
    bool Post(const Job& job, bool front = false);
    // Runs jobs on the calling thread as well until none is queued or running.
    void RunAll();
    // Workers waiting for a job at this moment.
    unsigned Idle() const;
    // A job ended by an exception (jobs are meant to catch their own).
    bool JobFailed() const;

private:
    void ThreadMain(unsigned worker);
    // Takes and runs queued jobs; returns when `done` says so, with the lock held.
    template <typename Done>
    void Work(std::unique_lock<std::mutex>& lock, unsigned worker, Done done);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_queue;
    unsigned m_running;
    unsigned m_idle;
    bool m_stopping;
    bool m_jobFailed;
    std::vector<std::thread> m_threads;
};
