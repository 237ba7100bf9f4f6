#include "package/WorkerPool.h"

#include <new>
#include <system_error>

CWorkerPool::CWorkerPool(unsigned workers) : m_running(0), m_idle(0), m_stopping(false), m_jobFailed(false)
{
    const unsigned threads = workers > 1 ? workers - 1 : 0;
    try {
        m_threads.reserve(threads);
        for (unsigned worker = 0; worker < threads; ++worker)
            m_threads.emplace_back(&CWorkerPool::ThreadMain, this, worker);
    } catch (const std::system_error&) {
        // Fewer threads: the work still gets done, more slowly.
    } catch (const std::bad_alloc&) {
    }
}

CWorkerPool::~CWorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

bool CWorkerPool::Post(const Job& job, bool front)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        try {
            if (front)
                m_queue.push_front(job);
            else
                m_queue.push_back(job);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    m_changed.notify_all();
    return true;
}

template <typename Done>
void CWorkerPool::Work(std::unique_lock<std::mutex>& lock, unsigned worker, Done done)
{
    for (;;) {
        if (!m_queue.empty()) {
            const Job job = m_queue.front();
            m_queue.pop_front();
            ++m_running;
            lock.unlock();
            bool failed = false;
            try {
                job.run(job.context, job.argument, worker);
            } catch (...) {
                failed = true;  // no exception may leave a thread
            }
            lock.lock();
            --m_running;
            m_jobFailed = m_jobFailed || failed;
            if (m_queue.empty() && m_running == 0)
                m_changed.notify_all();
            continue;
        }
        if (done())
            return;
        ++m_idle;
        m_changed.wait(lock);
        --m_idle;
    }
}

void CWorkerPool::ThreadMain(unsigned worker)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Work(lock, worker, [this] { return m_stopping; });
}

void CWorkerPool::RunAll()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const unsigned caller = static_cast<unsigned>(m_threads.size());
    Work(lock, caller, [this] { return m_running == 0; });
}

unsigned CWorkerPool::Idle() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_idle;
}

bool CWorkerPool::JobFailed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_jobFailed;
}
