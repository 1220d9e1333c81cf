// Interlocked operations: results and stored values at the 32-bit boundaries, and exact totals
// when several threads hammer the same variable from different cores.
#include <tarvex/sync.h>

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Runs each op on a thread of its own, over and over, until all have run side by side for 300 ms
// (and each at least 100000 times); returns how often each ran. Lost updates need the threads on
// different cores at the same moment, which a fixed short loop does not give on a loaded two-core
// machine: each thread may finish inside one time slice.
std::vector<long> Hammer(const std::vector<std::function<void()>>& ops) {
    std::atomic<size_t> ready{0};
    std::atomic<bool> stop{false};
    std::vector<long> rounds(ops.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ops.size(); ++i)
        threads.emplace_back([&, i] {
            long done = 0;
            for (ready.fetch_add(1); done < 100000 || !stop.load(std::memory_order_relaxed); ++done)
                ops[i]();
            rounds[i] = done;
        });
    while (ready.load() < ops.size()) sched_yield();
    usleep(300 * 1000);
    stop.store(true);
    for (std::thread& t : threads) t.join();
    return rounds;
}

#define OP(call) #call, [](LONG volatile* v) -> LONG { return call; }

// Each case runs on a variable between two neighbours that must be left alone (a wider access
// would carry or borrow into one), and once on a null variable, which gives 0.
TEST(Interlocked, ResultsAndStoredValuesWrapAtThirtyTwoBits) {
    const struct {
        const char* name;
        LONG (*op)(LONG volatile*);
        LONG before, result, after;
    } cases[] = {
        {OP(InterlockedIncrement(v)), INT_MAX, INT_MIN, INT_MIN},
        {OP(InterlockedIncrement(v)), -1, 0, 0},
        {OP(InterlockedDecrement(v)), INT_MIN, INT_MAX, INT_MAX},
        {OP(InterlockedDecrement(v)), 0, -1, -1},
        {OP(InterlockedExchangeAdd(v, -9)), 7, 7, -2},
        {OP(InterlockedExchangeAdd(v, 1)), INT_MAX, INT_MAX, INT_MIN},
        {OP(InterlockedExchangeAdd(v, -1)), INT_MIN, INT_MIN, INT_MAX},
        {OP(InterlockedExchangeAdd(v, INT_MIN)), INT_MAX, INT_MAX, -1},
        {OP(InterlockedExchangeAdd(v, 1)), -1, -1, 0},
        {OP(InterlockedExchange(v, INT_MIN)), -1, -1, INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " on " << c.before);
        LONG volatile words[3] = {0x11111111, c.before, 0x22222222};
        EXPECT_EQ(c.op(&words[1]), c.result);
        EXPECT_EQ(words[1], c.after);
        EXPECT_EQ(words[0], 0x11111111);
        EXPECT_EQ(words[2], 0x22222222);
        EXPECT_EQ(c.op(nullptr), 0);
    }
}

// Threads step one variable by +1 (or -1) through different operations, the host's own atomics
// among them, each adding up the value its step started from. If every step is atomic those values
// are 0, step, 2*step, ... each exactly once, so the final value and their sum are both exact; a
// lost update, or a result taken from another thread's step, breaks them.
TEST(Interlocked, ConcurrentStepsGiveExactTotals) {
    for (LONG step : {1, -1}) {
        SCOPED_TRACE(step);
        LONG volatile v = 0;
        long long from[3] = {};
        auto crement = step > 0 ? InterlockedIncrement : InterlockedDecrement;
        std::vector<long> rounds = Hammer({
            [&] { from[0] += crement(&v) - step; },
            [&] { from[1] += InterlockedExchangeAdd(&v, step); },
            [&] { from[2] += __atomic_fetch_add(&v, step, __ATOMIC_SEQ_CST); }});
        long long n = rounds[0] + rounds[1] + rounds[2];
        EXPECT_EQ(v, step * n);
        EXPECT_EQ(from[0] + from[1] + from[2], step * n * (n - 1) / 2);
    }
}

// Exchange as a lock word: a thread that swaps the 1 out owns a plain counter until it swaps the 1
// back. If two swaps ever saw the same 1, increments of the counter get lost.
TEST(Interlocked, ExchangeHandsATokenToOneThreadAtATime) {
    LONG volatile token = 1;
    long counter = 0;
    auto pass = [&] {
        while (InterlockedExchange(&token, 0) != 1) sched_yield();
        ++counter;
        InterlockedExchange(&token, 1);
    };
    std::vector<long> rounds = Hammer({pass, pass});
    EXPECT_EQ(counter, rounds[0] + rounds[1]);
    EXPECT_EQ(token, 1);
}

}  // namespace
