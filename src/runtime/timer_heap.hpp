// A binary min-heap of deadlines. Equal deadlines fire in insertion order,
// broken by a sequence number, so timers set for the same instant are fair.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "runtime/clock.hpp"

namespace kelpie {

template <class Payload>
class TimerHeap {
public:
    using Id = std::uint64_t;

    Id insert(Instant deadline, Payload payload) {
        const Id id = next_id_++;
        heap_.push_back({deadline, id, payload});
        sift_up(heap_.size() - 1);
        return id;
    }

    // Removes the timer if it is still pending; a fired timer is gone already.
    void cancel(Id id) {
        for (std::size_t i = 0; i < heap_.size(); ++i) {
            if (heap_[i].id != id) continue;
            heap_[i] = heap_.back();
            heap_.pop_back();
            if (i < heap_.size()) {
                sift_up(i);
                sift_down(i);
            }
            return;
        }
    }

    std::optional<Instant> next_deadline() const {
        if (heap_.empty()) return std::nullopt;
        return heap_.front().deadline;
    }

    // Takes the earliest timer if it is due at `now`.
    std::optional<Payload> pop_due(Instant now) {
        if (heap_.empty() || heap_.front().deadline > now) return std::nullopt;
        Payload p = heap_.front().payload;
        heap_.front() = heap_.back();
        heap_.pop_back();
        if (!heap_.empty()) sift_down(0);
        return p;
    }

    std::size_t size() const { return heap_.size(); }

private:
    struct Entry {
        Instant deadline;
        Id id;
        Payload payload;
        bool before(const Entry& o) const {
            return deadline < o.deadline || (deadline == o.deadline && id < o.id);
        }
    };

    void sift_up(std::size_t i) {
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (!heap_[i].before(heap_[parent])) break;
            std::swap(heap_[i], heap_[parent]);
            i = parent;
        }
    }
    void sift_down(std::size_t i) {
        for (;;) {
            std::size_t least = i;
            const std::size_t l = 2 * i + 1, r = l + 1;
            if (l < heap_.size() && heap_[l].before(heap_[least])) least = l;
            if (r < heap_.size() && heap_[r].before(heap_[least])) least = r;
            if (least == i) return;
            std::swap(heap_[i], heap_[least]);
            i = least;
        }
    }

    std::vector<Entry> heap_;
    Id next_id_ = 0;
};

}  // namespace kelpie
