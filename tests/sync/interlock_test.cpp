// Interlocked operations: results and stored values at the 32-bit boundaries, and exact totals
// when several threads hammer the same variable from different cores.
#include <tarvex/sync.h>

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Lost updates need the threads to run at the same moment on different cores, which a fixed,
// short loop does not guarantee on a loaded two-core machine (each thread may finish inside one
// time slice). So the threads hammer for a stretch of time rather than a count.
constexpr int kHammerMs = 300;
constexpr long kMinRounds = 100000;

// Runs each op on its own thread, over and over, all released together, until they have run
// side by side for kHammerMs (each at least kMinRounds and at most `max_rounds` times). Returns
// how often each op ran.
std::vector<long> Hammer(const std::vector<std::function<void()>>& ops,
                         long max_rounds = LONG_MAX) {
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    const int total = static_cast<int>(ops.size());
    std::vector<long> rounds(ops.size(), 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < total; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < total) sched_yield();
            long done = 0;
            while (done < max_rounds && (done < kMinRounds || !stop.load(std::memory_order_relaxed))) {
                for (int k = 0; k < 64 && done < max_rounds; ++k, ++done) ops[i]();
            }
            rounds[i] = done;
        });
    }
    while (ready.load() < total) sched_yield();
    usleep(kHammerMs * 1000);
    stop.store(true);
    for (std::thread& t : threads) t.join();
    return rounds;
}

TEST(Interlocked, ResultsAndStoredValuesWrapAtThirtyTwoBits) {
    LONG volatile v = INT_MAX;
    EXPECT_EQ(InterlockedIncrement(&v), INT_MIN);
    EXPECT_EQ(v, INT_MIN);
    EXPECT_EQ(InterlockedDecrement(&v), INT_MAX);
    EXPECT_EQ(v, INT_MAX);

    v = 0;
    EXPECT_EQ(InterlockedDecrement(&v), -1);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(InterlockedIncrement(&v), 0);
    EXPECT_EQ(v, 0);

    v = 10;
    EXPECT_EQ(InterlockedExchangeAdd(&v, 5), 10);
    EXPECT_EQ(v, 15);
    EXPECT_EQ(InterlockedExchange(&v, 7), 15);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(InterlockedExchangeAdd(&v, -9), 7);
    EXPECT_EQ(v, -2);

    v = INT_MAX;
    EXPECT_EQ(InterlockedExchangeAdd(&v, 1), INT_MAX);
    EXPECT_EQ(v, INT_MIN);
    EXPECT_EQ(InterlockedExchangeAdd(&v, -1), INT_MIN);
    EXPECT_EQ(v, INT_MAX);
    EXPECT_EQ(InterlockedExchangeAdd(&v, INT_MIN), INT_MAX);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(InterlockedExchange(&v, INT_MIN), -1);
    EXPECT_EQ(v, INT_MIN);
}

TEST(Interlocked, NeighboursAreLeftAlone) {
    LONG volatile words[3] = {0x11111111, 0x7FFFFFFF, 0x22222222};
    InterlockedIncrement(&words[1]);
    InterlockedExchangeAdd(&words[1], -1);
    InterlockedDecrement(&words[1]);
    InterlockedExchange(&words[1], 5);
    EXPECT_EQ(words[0], 0x11111111);
    EXPECT_EQ(words[1], 5);
    EXPECT_EQ(words[2], 0x22222222);
}

TEST(Interlocked, NullVariableGivesZero) {
    EXPECT_EQ(InterlockedIncrement(nullptr), 0);
    EXPECT_EQ(InterlockedDecrement(nullptr), 0);
    EXPECT_EQ(InterlockedExchange(nullptr, 5), 0);
    EXPECT_EQ(InterlockedExchangeAdd(nullptr, 5), 0);
}

// Every increment's result is the value it stored, so across all threads the results are
// exactly 1..N, each once, and add up to N(N+1)/2; a lost update leaves the total short.
TEST(Interlocked, ConcurrentIncrementsEachGetADistinctResult) {
    LONG volatile counter = 0;
    long long sum_a = 0;
    long long sum_b = 0;
    std::vector<long> rounds = Hammer({
        [&] { sum_a += InterlockedIncrement(&counter); },
        [&] { sum_b += InterlockedIncrement(&counter); },
    });
    long long n = rounds[0] + rounds[1];
    EXPECT_EQ(counter, n);
    EXPECT_EQ(sum_a + sum_b, n * (n + 1) / 2);
}

TEST(Interlocked, ConcurrentArithmeticGivesExactTotals) {
    // Increments against decrements.
    LONG volatile counter = 1000;
    std::vector<long> rounds = Hammer({
        [&] { InterlockedIncrement(&counter); },
        [&] { InterlockedDecrement(&counter); },
        [&] { InterlockedIncrement(&counter); },
    });
    EXPECT_EQ(counter, 1000 + rounds[0] - rounds[1] + rounds[2]);

    // Additions of different sizes and signs. Each call moved the variable from the old value it
    // returned to that value plus its addend, so the calls form one chain from the start value to
    // the final one: the old values plus the final value are the new values plus the start value.
    constexpr long kKept = 2000000;
    counter = 0;
    std::vector<LONG> olds_a;
    std::vector<LONG> olds_b;
    olds_a.reserve(kKept);
    olds_b.reserve(kKept);
    rounds = Hammer({
        [&] { olds_a.push_back(InterlockedExchangeAdd(&counter, 3)); },
        [&] { olds_b.push_back(InterlockedExchangeAdd(&counter, -1)); },
    }, kKept);
    EXPECT_EQ(counter, 3 * rounds[0] - rounds[1]);
    std::vector<LONG> from{counter};
    std::vector<LONG> to{0};
    for (LONG old : olds_a) {
        from.push_back(old);
        to.push_back(old + 3);
    }
    for (LONG old : olds_b) {
        from.push_back(old);
        to.push_back(old - 1);
    }
    std::sort(from.begin(), from.end());
    std::sort(to.begin(), to.end());
    EXPECT_TRUE(from == to) << "the returned old values do not chain into one history";
}

// Exchange used as a lock word: a thread that swaps 1 out owns a plain counter until it swaps 1
// back. If two swaps ever saw the same 1, increments of the plain counter get lost.
TEST(Interlocked, ExchangeHandsATokenToOneThreadAtATime) {
    constexpr int kPasses = 200000;
    LONG volatile token = 1;
    long counter = 0;
    auto body = [&] {
        for (int i = 0; i < kPasses; ++i) {
            while (InterlockedExchange(&token, 0) != 1) sched_yield();
            ++counter;
            InterlockedExchange(&token, 1);
        }
    };
    std::thread first(body);
    std::thread second(body);
    first.join();
    second.join();
    EXPECT_EQ(counter, 2L * kPasses);
    EXPECT_EQ(token, 1);
}

// The operations are the processor's atomic instructions, so they also combine exactly with a
// host's own atomic arithmetic on the same variable.
TEST(Interlocked, ConcurrentWithTheHostsOwnAtomics) {
    LONG volatile counter = 0;
    std::vector<long> rounds = Hammer({
        [&] { InterlockedIncrement(&counter); },
        [&] { __atomic_add_fetch(&counter, 2, __ATOMIC_SEQ_CST); },
    });
    EXPECT_EQ(counter, rounds[0] + 2 * rounds[1]);
}

}  // namespace
