// The once-per-process configuration under truly simultaneous first opens (no interpreter lock
// to serialise them): every exported variable is written once and exactly one pool exists.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/fingerprint.hpp"
#include "runtime/environment.hpp"
#include "runtime/pool.hpp"
#include "test_support.hpp"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_writes[3];

}  // namespace

// Counts the writes of the exported thread-count variables while a test asks for it, and
// otherwise only passes through: every call to setenv in this binary comes here first.
extern "C" int setenv(const char* name, const char* value, int overwrite) {
    using Fn = int (*)(const char*, const char*, int);
    static const Fn real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "setenv"));
    if (g_counting.load())
        for (int i = 0; i < 3; ++i)
            if (std::strcmp(name, rivezor::runtime::kExportedThreadVars[i]) == 0) g_writes[i].fetch_add(1);
    return real(name, value, overwrite);
}

namespace {

using rivezor::test_support::normal_values;
using rivezor::test_support::write_index;

constexpr int kThreads = 8;

// Runs in a process of its own (a death-test child), where no engine was opened before.
void open_from_many_threads_at_once(const std::string& path) {
    ::setenv("ZARIR_THREADS", "3", 1);
    ::setenv("OMP_NUM_THREADS", "sentinel", 1);
    if (rivezor::runtime::configuration_done()) std::_Exit(10);
    // As the module does at import: BLAKE3's CPU detection must not race either.
    rivezor::warm_up_hashing();
    g_counting = true;
    std::barrier start(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            start.arrive_and_wait();
            if (!rivezor::open_engine(path, false).ok()) failures.fetch_add(1);
        });
    for (auto& t : threads) t.join();
    g_counting = false;
    if (failures.load() != 0) std::_Exit(11);
    for (int i = 0; i < 3; ++i) {
        if (g_writes[i].load() != 1) std::_Exit(20 + i);
        const char* v = std::getenv(rivezor::runtime::kExportedThreadVars[i]);
        if (v == nullptr || std::strcmp(v, "3") != 0) std::_Exit(30 + i);
    }
    if (rivezor::runtime::WorkerPool::get_or_create().size() != 3) std::_Exit(40);
    std::_Exit(0);
}

TEST(ConfigureRace, SimultaneousFirstOpensConfigureOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing configured yet
    const std::string path = write_index("race", 4, 16, 1, normal_values(64, 5));
    for (int round = 0; round < 5; ++round)
        EXPECT_EXIT(open_from_many_threads_at_once(path), ::testing::ExitedWithCode(0), "") << "round " << round;
    std::remove(path.c_str());
}

}  // namespace
