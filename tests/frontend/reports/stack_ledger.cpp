// tavo-options: exitcode=0
// A ledger on the main thread's stack, written through long template names by one std::thread
// and read by another: demangled names, inlined frames, and the location on a thread's stack.
#include <atomic>
#include <cstdio>
#include <thread>

namespace inventory::detail {

template <class Key, class Amount>
class ledger_with_a_rather_long_name {
public:
    __attribute__((noinline)) void record_adjustment(Key key, Amount delta) { totals_[key % 4] += delta; }
    __attribute__((noinline)) Amount total_of(Key key) const { return totals_[key % 4]; }

private:
    Amount totals_[4] = {};
};

}  // namespace inventory::detail

using ledger_t = inventory::detail::ledger_with_a_rather_long_name<unsigned long, long>;

std::atomic<int> step{0};  // relaxed: orders nothing, only makes the interleaving fixed

__attribute__((noinline)) void restock(ledger_t& ledger) { ledger.record_adjustment(3, 5); }
__attribute__((noinline)) long audit(const ledger_t& ledger) { return ledger.total_of(3); }

int main() {
    ledger_t ledger;
    long seen = 0;
    std::thread writer([&] {
        restock(ledger);
        step.store(1, std::memory_order_relaxed);
        while (step.load(std::memory_order_relaxed) != 2) {
        }
    });
    std::thread reader([&] {
        while (step.load(std::memory_order_relaxed) != 1) {
        }
        seen = audit(ledger);
        step.store(2, std::memory_order_relaxed);
    });
    writer.join();
    reader.join();
    std::printf("%ld\n", seen);
}
