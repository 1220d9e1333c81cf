// Interlocked operations: results and stored values at the 32-bit boundaries, and exact totals
// when several threads hammer the same variable from different cores.
#include <tarvex/sync.h>

#include <gtest/gtest.h>
#include <sched.h>

#include <climits>

#include "tvx_test.h"

#define OP(call) #call, [](LONG volatile* v) -> LONG { return call; }

// Each case runs on a variable between two neighbours that must be left alone (a wider access
// would carry or borrow into one), and once on a null variable, which gives 0.
TEST(Interlocked, ResultsAndStoredValuesWrapAtThirtyTwoBits) {
    const struct { const char* name; LONG (*op)(LONG volatile*); LONG before, result, after; } cases[] = {
        {OP(InterlockedIncrement(v)), INT_MAX, INT_MIN, INT_MIN}, {OP(InterlockedIncrement(v)), -1, 0, 0},
        {OP(InterlockedDecrement(v)), INT_MIN, INT_MAX, INT_MAX}, {OP(InterlockedDecrement(v)), 0, -1, -1},
        {OP(InterlockedExchangeAdd(v, -9)), 7, 7, -2}, {OP(InterlockedExchangeAdd(v, 1)), -1, -1, 0},
        {OP(InterlockedExchangeAdd(v, 1)), INT_MAX, INT_MAX, INT_MIN},
        {OP(InterlockedExchangeAdd(v, -1)), INT_MIN, INT_MIN, INT_MAX},
        {OP(InterlockedExchangeAdd(v, INT_MIN)), INT_MAX, INT_MAX, -1},
        {OP(InterlockedExchange(v, INT_MIN)), -1, -1, INT_MIN}};
    for (const auto& c : cases) {
        LONG volatile words[3] = {0x11111111, c.before, 0x22222222};
        EXPECT_EQ(c.op(&words[1]), c.result) << c.name << " on " << c.before;
        EXPECT_TRUE(words[0] == 0x11111111 && words[1] == c.after && words[2] == 0x22222222) << c.name;
        EXPECT_EQ(c.op(nullptr), 0) << c.name;
    }
}

// Threads step one variable by +1 (or -1) through different operations, the host's own atomics
// among them, each adding up the value its step started from. If every step is atomic those are
// 0, step, 2*step, ... each once, so the final value and their sum are exact; a lost update, or a
// result taken from another thread's step, breaks them.
TEST(Interlocked, ConcurrentStepsGiveExactTotals) {
    for (LONG step : {1, -1}) {
        LONG volatile v = 0;
        long long from[3] = {};
        auto crement = step > 0 ? InterlockedIncrement : InterlockedDecrement;
        const std::vector<long> rounds = tvxtest::Hammer({[&] { from[0] += crement(&v) - step; },
            [&] { from[1] += InterlockedExchangeAdd(&v, step); },
            [&] { from[2] += __atomic_fetch_add(&v, step, __ATOMIC_SEQ_CST); }});
        const long long n = rounds[0] + rounds[1] + rounds[2];
        EXPECT_EQ(v, step * n) << step;
        EXPECT_EQ(from[0] + from[1] + from[2], step * n * (n - 1) / 2) << step;
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
    const std::vector<long> rounds = tvxtest::Hammer({pass, pass});
    EXPECT_TRUE(counter == rounds[0] + rounds[1] && token == 1) << counter;
}
