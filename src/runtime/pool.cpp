// Worker pool internals: a queue of open loops; workers and the submitting thread claim
// loop items with an atomic counter, so a caller never waits on work nobody is doing.
#include "runtime/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/environment.hpp"

namespace rivezor::runtime {
namespace {

constexpr std::size_t kMaxWorkers = 65535;

struct Loop {
    void (*call)(void*, std::size_t);
    void* ctx;
    std::size_t count;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::mutex done_mutex;
    std::condition_variable done_cv;
    std::exception_ptr error;
    std::mutex error_mutex;

    // Claims and runs items until none are left.
    void work() {
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count) return;
            try {
                call(ctx, i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
            }
            if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
                std::lock_guard<std::mutex> lock(done_mutex);
                done_cv.notify_all();
            }
        }
    }
    bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }
};

std::mutex g_create_mutex;
std::atomic<WorkerPool*> g_pool{nullptr};
std::size_t g_installed_workers = 0;  // size asked of the pool in use; 0 before there is one
std::size_t g_inherited_workers = 0;  // in a forked child: the parent's pool size

// A child of fork() has none of the workers, and the wake-up condition variable still counts
// them as waiters, so signalling it could block forever. The child forgets the pool (it cannot
// be torn down safely, so it is leaked) and builds its own, of the parent's size, on first
// use; holding the creation lock across the fork keeps a half-built pool from being copied.
void lock_before_fork() { g_create_mutex.lock(); }
void unlock_after_fork() { g_create_mutex.unlock(); }
void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_inherited_workers = g_installed_workers;
    g_installed_workers = 0;
    g_create_mutex.unlock();
}

}  // namespace

struct WorkerPool::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Loop>> open;
    std::vector<std::thread> threads;
};

WorkerPool::WorkerPool(std::size_t workers) : shared_(new Shared) {
    shared_->threads.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) {
        try {
            shared_->threads.emplace_back([s = shared_] {
                for (;;) {
                    std::shared_ptr<Loop> loop;
                    {
                        std::unique_lock<std::mutex> lock(s->mutex);
                        s->wake.wait(lock, [&] {
                            while (!s->open.empty() && s->open.front()->exhausted()) s->open.pop_front();
                            return !s->open.empty();
                        });
                        loop = s->open.front();
                    }
                    loop->work();
                }
            });
        } catch (const std::system_error&) {
            // The system refused another thread: go on with the ones that started.
            break;
        }
    }
    size_ = shared_->threads.size();
    // Workers live for the whole process; they are never joined.
    for (auto& t : shared_->threads) t.detach();
}

std::size_t WorkerPool::default_size() {
    std::size_t n = 0;
    if (auto v = env_text("RAYON_NUM_THREADS"); v && parse_unsigned_decimal(*v)) {
        const std::uint64_t parsed = *parse_unsigned_decimal(*v);
        n = parsed > 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(parsed, kMaxWorkers))
                       : logical_processors();
    } else if (auto c = env_text("RAYON_RS_NUM_CPUS"); c && parse_unsigned_decimal(*c).value_or(0) > 0) {
        n = static_cast<std::size_t>(std::min<std::uint64_t>(*parse_unsigned_decimal(*c), kMaxWorkers));
    } else {
        n = logical_processors();
    }
    return std::min(std::max<std::size_t>(n, 1), kMaxWorkers);
}

bool WorkerPool::install(std::size_t workers) {
    static const bool fork_handled =
        ::pthread_atfork(lock_before_fork, unlock_after_fork, forget_pool_in_child) == 0;
    (void)fork_handled;
    std::lock_guard<std::mutex> lock(g_create_mutex);
    if (g_pool.load(std::memory_order_acquire) != nullptr) return false;
    const std::size_t n = workers == 0 ? default_size() : std::min(workers, kMaxWorkers);
    g_pool.store(new WorkerPool(n), std::memory_order_release);
    g_installed_workers = n;
    return true;
}

WorkerPool* WorkerPool::existing() { return g_pool.load(std::memory_order_acquire); }

WorkerPool& WorkerPool::get_or_create() {
    WorkerPool* pool = g_pool.load(std::memory_order_acquire);
    if (pool == nullptr) {
        install(g_inherited_workers);
        pool = g_pool.load(std::memory_order_acquire);
    }
    return *pool;
}

void WorkerPool::run(std::size_t count, void (*call)(void*, std::size_t), void* ctx) {
    auto loop = std::make_shared<Loop>();
    loop->call = call;
    loop->ctx = ctx;
    loop->count = count;
    // The caller is one of the pool's T threads of work: waking all T workers besides it
    // would put T + 1 threads on T cores, and the one preempted holds up the loop's end.
    const std::size_t helpers = size_ > 0 && count > 1 ? std::min(count - 1, size_ - 1) : 0;
    if (helpers > 0) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->open.push_back(loop);
        }
        for (std::size_t i = 0; i < helpers; ++i) shared_->wake.notify_one();
    }
    // The caller works on its own loop, so progress never depends on a free worker.
    loop->work();
    if (loop->finished.load(std::memory_order_acquire) != count) {
        for (int spin = 0; spin < 2000 && loop->finished.load(std::memory_order_acquire) != count; ++spin)
            std::this_thread::yield();
        std::unique_lock<std::mutex> lock(loop->done_mutex);
        loop->done_cv.wait(lock, [&] { return loop->finished.load(std::memory_order_acquire) == count; });
    }
    if (loop->error) std::rethrow_exception(loop->error);
}

}  // namespace rivezor::runtime
