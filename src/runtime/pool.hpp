// The one process-wide worker pool: fork-join parallel loops whose callers help with their
// own work, so nested loops never deadlock and tiny loops run inline without dispatch.
#pragma once

#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

namespace rivezor::runtime {

class WorkerPool {
public:
    // The pool, created at its default size if nothing installed one before.
    static WorkerPool& get_or_create();
    // The pool if one exists, else nullptr; never creates one.
    static WorkerPool* existing();
    // Creates the pool with `workers` threads (0: default size; capped at 65535).
    // Returns false, changing nothing, when a pool already exists.
    static bool install(std::size_t workers);
    // Default size from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS / processor count.
    static std::size_t default_size();

    // Worker threads that actually started; at least 1 for the callers' arithmetic.
    std::size_t size() const { return size_ == 0 ? 1 : size_; }

    // Runs body(i) for i in [0, count) and returns when all are done. The first exception
    // thrown by a body is rethrown here after every started item has finished.
    template <class Body>
    void parallel_for(std::size_t count, Body&& body) {
        using Fn = std::remove_reference_t<Body>;
        run(count, [](void* ctx, std::size_t i) { (*static_cast<Fn*>(ctx))(i); },
            const_cast<void*>(static_cast<const void*>(&body)));
    }

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

private:
    explicit WorkerPool(std::size_t workers);
    void run(std::size_t count, void (*call)(void*, std::size_t), void* ctx);
    struct Shared;
    Shared* shared_;
    std::size_t size_ = 0;
};

// Worker count T of the search paths: the pool's size, at least 1; creates the pool at its
// default size when nothing has yet.
inline std::size_t pool_size() { return WorkerPool::get_or_create().size(); }

template <class Body>
void parallel_for(std::size_t count, Body&& body) {
    if (count == 0) return;
    if (count == 1) {
        body(std::size_t{0});
        return;
    }
    WorkerPool::get_or_create().parallel_for(count, std::forward<Body>(body));
}

}  // namespace rivezor::runtime
