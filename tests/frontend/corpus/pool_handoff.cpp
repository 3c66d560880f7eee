// tavo: clean
// A thread pool: std::function jobs in a deque under a mutex, std::shared_ptr hand-offs between
// workers, std::packaged_task results, vectors and strings freed and reallocated on every thread.
// Blocks come back at addresses that other threads used before, with nothing ordering the old
// accesses before the new ones: every block starts with no history.
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

class pool_t {
public:
    explicit pool_t(int threads) {
        for (int index = 0; index < threads; ++index) workers_.emplace_back([this] { run(); });
    }
    ~pool_t() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }
    void submit(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            jobs_.push_back(std::move(job));
        }
        changed_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> guard(lock_);
                changed_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

int main() {
    long expected = 0;
    std::vector<std::future<long>> results;
    {
        pool_t pool(3);
        for (int round = 0; round < 300; ++round) {
            auto numbers = std::make_shared<std::vector<int>>(8 + round % 5);
            std::iota(numbers->begin(), numbers->end(), round);
            expected += std::accumulate(numbers->begin(), numbers->end(), 0L);
            std::packaged_task<long()> task([numbers, label = std::string(40, char('a' + round % 26))] {
                return std::accumulate(numbers->begin(), numbers->end(), 0L) + static_cast<long>(label.size()) - 40;
            });
            results.push_back(task.get_future());
            auto shared_task = std::make_shared<std::packaged_task<long()>>(std::move(task));
            // One job hands the task on to another through a second submission.
            pool.submit([&pool, shared_task] { pool.submit([shared_task] { (*shared_task)(); }); });
        }
        long total = 0;
        for (std::future<long>& result : results) total += result.get();
        if (total != expected) return 1;
    }
    return 0;
}
