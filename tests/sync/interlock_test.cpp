// Interlocked operations: results and values at the 32-bit wrap, exact totals under contention.
#include <tarvex/sync.h>

#include <gtest/gtest.h>
#include <limits.h>
#include <sched.h>

#include "tvx_test.h"

#define OP(call) "Interlocked" #call, [](LONG volatile* v) -> LONG { return Interlocked##call; }

// Each runs between two neighbours a wider access would carry into, and on null, which gives 0.
TEST(Interlocked, ResultsAndStoredValuesWrapAtThirtyTwoBits) {
    const struct { const char* name; LONG (*op)(LONG volatile*); LONG before, result, after; } cases[] = {
        {OP(ExchangeAdd(v, -9)), 7, 7, -2}, {OP(Increment(v)), -1, 0, 0}, {OP(Decrement(v)), 0, -1, -1},
        {OP(Increment(v)), INT_MAX, INT_MIN, INT_MIN}, {OP(Decrement(v)), INT_MIN, INT_MAX, INT_MAX},
        {OP(Exchange(v, INT_MIN)), -1, -1, INT_MIN}, {OP(ExchangeAdd(v, -1)), INT_MIN, INT_MIN, INT_MAX},
        {OP(ExchangeAdd(v, 1)), INT_MAX, INT_MAX, INT_MIN}, {OP(ExchangeAdd(v, INT_MIN)), INT_MAX, INT_MAX, -1}};
    for (const auto& c : cases) {
        LONG volatile words[3] = {-7, c.before, 7};
        EXPECT_EQ(c.op(&words[1]), c.result) << c.name << " on " << c.before;
        EXPECT_TRUE(words[0] == -7 && words[1] == c.after && words[2] == 7 && c.op(nullptr) == 0) << c.name;
    }
}

// Threads step one variable three ways (host atomics too): exact totals unless a step is torn.
TEST(Interlocked, ConcurrentStepsGiveExactTotals) {
    for (LONG step : {1, -1}) {
        LONG volatile v = 0;
        long long from[3] = {};
        auto crement = step > 0 ? InterlockedIncrement : InterlockedDecrement;
        const std::vector<long> rounds = tvxtest::Hammer({[&] { from[0] += crement(&v) - step; },
            [&] { from[1] += InterlockedExchangeAdd(&v, step); },
            [&] { from[2] += __atomic_fetch_add(&v, step, __ATOMIC_SEQ_CST); }});
        const long long n = rounds[0] + rounds[1] + rounds[2];
        EXPECT_TRUE(v == step * n && from[0] + from[1] + from[2] == step * n * (n - 1) / 2) << step;
    }
}

// Exchange as a lock word: if two swaps ever took the same 1, increments of the counter get lost.
TEST(Interlocked, ExchangeHandsATokenToOneThreadAtATime) {
    LONG volatile token = 1;
    long counter = 0;
    auto pass = [&] {
        while (InterlockedExchange(&token, 0) != 1) sched_yield();
        ++counter, InterlockedExchange(&token, 1);
    };
    const std::vector<long> rounds = tvxtest::Hammer({pass, pass});
    EXPECT_TRUE(counter == rounds[0] + rounds[1] && token == 1) << counter;
}
