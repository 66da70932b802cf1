#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "runtime/timer_heap.hpp"

namespace kelpie {
namespace {

using std::chrono::seconds;

const Instant kZero{};

std::vector<int> drain(TimerHeap<int>& heap, Instant now) {
    std::vector<int> out;
    while (auto p = heap.pop_due(now)) out.push_back(*p);
    return out;
}

TEST(TimerHeapTest, EqualDeadlinesFireInInsertionOrder) {
    TimerHeap<int> heap;
    // Payload = insertion index; deadlines chosen so ties sit at every heap level.
    const int deadlines[] = {5, 1, 3, 1, 5, 2, 1, 3, 5, 1};
    for (int i = 0; i < 10; ++i) heap.insert(kZero + seconds(deadlines[i]), i);
    EXPECT_EQ(heap.next_deadline(), kZero + seconds(1));
    EXPECT_EQ(drain(heap, kZero + seconds(2)), (std::vector<int>{1, 3, 6, 9, 5}));
    EXPECT_EQ(drain(heap, kZero + seconds(9)), (std::vector<int>{2, 7, 0, 4, 8}));
    EXPECT_FALSE(heap.next_deadline());
}

TEST(TimerHeapTest, CancelInTheMiddleKeepsTheRestInOrder) {
    TimerHeap<int> heap;
    std::vector<TimerHeap<int>::Id> ids;
    for (int i = 0; i < 8; ++i) ids.push_back(heap.insert(kZero + seconds(i % 4), i));
    heap.cancel(ids[5]);  // deadline 1, an inner node
    heap.cancel(ids[2]);  // deadline 2
    heap.cancel(ids[5]);  // already gone: no effect
    heap.cancel(1000);    // never existed
    EXPECT_EQ(heap.size(), 6u);
    EXPECT_EQ(drain(heap, kZero + seconds(9)), (std::vector<int>{0, 4, 1, 6, 3, 7}));
}

// Random inserts, cancels and pops against a plain sorted list.
TEST(TimerHeapTest, MatchesAReferenceModel) {
    struct Ref {
        int deadline;
        TimerHeap<int>::Id id;
        int payload;
    };
    std::mt19937 rng(1234);
    TimerHeap<int> heap;
    std::vector<Ref> ref;
    int now = 0;
    for (int step = 0; step < 3000; ++step) {
        const int op = static_cast<int>(rng() % 10);
        if (op < 5) {
            const int d = now + static_cast<int>(rng() % 20);
            ref.push_back({d, heap.insert(kZero + seconds(d), step), step});
        } else if (op < 7 && !ref.empty()) {
            const auto victim = ref.begin() + static_cast<std::ptrdiff_t>(rng() % ref.size());
            heap.cancel(victim->id);
            ref.erase(victim);
        } else {
            now += static_cast<int>(rng() % 3);
            std::stable_sort(ref.begin(), ref.end(), [](const Ref& a, const Ref& b) { return a.deadline < b.deadline; });
            std::vector<int> expected;
            while (!ref.empty() && ref.front().deadline <= now) {
                expected.push_back(ref.front().payload);
                ref.erase(ref.begin());
            }
            ASSERT_EQ(drain(heap, kZero + seconds(now)), expected) << "step " << step;
        }
        ASSERT_EQ(heap.size(), ref.size());
    }
}

}  // namespace
}  // namespace kelpie
