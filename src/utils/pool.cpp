#include "utils/pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "utils/errors.h"
#include "utils/platform.h"

namespace trovix::pool {

namespace {

// More workers than this are never started, whatever the environment asks for.
constexpr std::size_t kMaxWorkers = 1024;

// A decimal integer (optional leading '+'), or nothing.
std::optional<std::size_t> parse_decimal(const char* text) {
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        std::size_t digit = static_cast<std::size_t>(*p - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The size the environment asks for.
std::size_t configured_size() {
    std::size_t n = 0;
    auto requested = parse_decimal(std::getenv("RAYON_NUM_THREADS"));
    if (requested && *requested > 0) {
        n = *requested;
    } else if (!requested) {
        auto cpus = parse_decimal(std::getenv("RAYON_RS_NUM_CPUS"));
        if (cpus && *cpus > 0) n = *cpus;
    }
    if (n == 0) n = platform::available_cpus();
    return std::clamp<std::size_t>(n, 1, kMaxWorkers);
}

// One batch of tasks handed to the pool.
struct Job {
    const std::function<void(std::size_t)>* task;
    std::size_t ntasks;
    std::size_t next = 0;      // next task index to hand out (under the pool mutex)
    std::size_t finished = 0;  // tasks done (under the pool mutex)
    std::exception_ptr error;  // first failure (under the pool mutex)
    std::condition_variable done;
};

class Pool {
public:
    explicit Pool(std::size_t size) : size_(size) {
        // Test seam: makes the last task of every batch fail on its worker, to check that a
        // worker fault reaches the caller as PanicException and leaves the pool usable.
        const char* inject = std::getenv("TROVIX_POOL_INJECT_FAULT");
        inject_fault_ = inject != nullptr && *inject != '\0';
        for (std::size_t i = 0; i < size; ++i) {
            try {
                std::thread(&Pool::work, this).detach();
                ++live_;
            } catch (...) {
                break;  // keep the workers that did start; with none, tasks run on the caller
            }
        }
    }

    std::size_t size() const { return size_; }

    void run(std::size_t ntasks, const std::function<void(std::size_t)>& task) {
        if (ntasks == 0) return;
        Job job;
        job.task = &task;
        job.ntasks = ntasks;
        if (live_ == 0) {
            for (std::size_t i = 0; i < ntasks; ++i) execute(job, i);
        } else {
            std::unique_lock lock(mutex_);
            queue_.push_back(&job);
            lock.unlock();
            work_ready_.notify_all();
            lock.lock();
            // The calling thread takes tasks of its own batch too while it waits: a worker that
            // the system does not schedule (other processes busy on the same cores) then delays
            // nothing, and the batch never runs slower than on the calling thread alone.
            while (job.next < job.ntasks) {
                std::size_t i = job.next++;
                if (job.next == job.ntasks) queue_.erase(std::find(queue_.begin(), queue_.end(), &job));
                lock.unlock();
                execute(job, i);
                lock.lock();
            }
            job.done.wait(lock, [&] { return job.finished == job.ntasks; });
        }
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    void execute(Job& job, std::size_t i) {
        std::exception_ptr error;
        try {
            if (inject_fault_ && i + 1 == job.ntasks) throw Fault("injected worker fault");
            (*job.task)(i);
        } catch (...) {
            error = std::current_exception();
        }
        if (live_ == 0) {
            if (error && !job.error) job.error = error;
            ++job.finished;
            return;
        }
        std::lock_guard lock(mutex_);
        if (error && !job.error) job.error = error;
        if (++job.finished == job.ntasks) job.done.notify_all();
    }

    [[noreturn]] void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            work_ready_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            std::size_t i = job->next++;
            if (job->next == job->ntasks) queue_.pop_front();
            lock.unlock();
            execute(*job, i);
            lock.lock();
        }
    }

    std::size_t size_;
    bool inject_fault_ = false;
    std::size_t live_ = 0;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::deque<Job*> queue_;
};

std::mutex g_create_mutex;
std::atomic<Pool*> g_pool{nullptr};
std::once_flag g_atfork_once;

// A forked child has none of the parent's worker threads: forget the parent's pool (it is leaked,
// its mutex may be held by a thread that no longer exists) and build a fresh one on next use.
void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    new (&g_create_mutex) std::mutex();
}

Pool& get_pool() {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    if (pool != nullptr) [[likely]] return *pool;
    std::call_once(g_atfork_once, [] { platform::at_fork_child(forget_pool_in_child); });
    std::lock_guard lock(g_create_mutex);
    pool = g_pool.load(std::memory_order_acquire);
    if (pool == nullptr) {
        // Never destroyed: detached workers may still be parked in it at process exit.
        pool = new Pool(configured_size());
        g_pool.store(pool, std::memory_order_release);
    }
    return *pool;
}

}  // namespace

std::size_t thread_count() { return get_pool().size(); }

void run(std::size_t ntasks, const std::function<void(std::size_t)>& task) {
    try {
        get_pool().run(ntasks, task);
    } catch (const Fault&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;  // a worker short of memory: MemoryError, like the calling thread
    } catch (const std::exception& e) {
        throw Fault(std::string("worker thread failed: ") + e.what());
    } catch (...) {
        throw Fault("worker thread failed");
    }
}

}  // namespace trovix::pool
