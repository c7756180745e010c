#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "core/names.h"

namespace {

TEST(CoreSeqConcurrency, ValuesAreDistinctAndIncreasePerThread)
{
    constexpr int kThreads = 8;
    constexpr int kCalls = 100000;
    std::vector<std::vector<uint64_t>> values(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&values, t] {
            values[t].reserve(kCalls);
            for (int i = 0; i < kCalls; ++i) values[t].push_back(core_seq_next());
        });
    }
    for (auto &th : threads) th.join();

    std::vector<uint64_t> all;
    for (const auto &v : values) {
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
        EXPECT_EQ(std::adjacent_find(v.begin(), v.end()), v.end());
        all.insert(all.end(), v.begin(), v.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "two threads got the same value";
}

}  // namespace
