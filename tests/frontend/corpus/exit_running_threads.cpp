// tavo: clean
// 50 child processes end while detached std::threads are still ending, still synchronising and
// still running, and while the program's static destructors run: main returns, a worker calls
// std::exit, main calls std::quick_exit or std::_Exit. None may crash or hang.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

constexpr int workers = 8, locks = 2048, runs = 50;
enum { return_from_main, exit_from_worker, quick_exit_from_main, underscore_exit_from_main };

std::mutex mutexes[locks];
long counts[workers + 2];  // one per thread, then main, then the static destructor
std::mutex finished_mutex;
// Never destroyed: workers may still notify it while the exit handlers run.
std::condition_variable& all_finished = *new std::condition_variable;
int finished = 0;
int way_out = return_from_main;

// Every worker goes through many locks, so that the library's tables of sync objects are large
// while the process exits.
void lock_round(int index, int round) {
    std::lock_guard<std::mutex> hold(mutexes[(index * 7 + round) % locks]);
    ++counts[index];
}

// A static object whose destructor synchronises while the workers still do.
struct tally_t {
    std::mutex mutex;
    long count = 0;
    ~tally_t() {
        for (int round = 0; round < 100; ++round) lock_round(workers + 1, round);
        std::lock_guard<std::mutex> hold(mutex);
        count = 0;
    }
} tally;

void work(int index) {
    for (int round = 0; round < locks; ++round) lock_round(index, round);
    {
        std::lock_guard<std::mutex> hold(tally.mutex);
        ++tally.count;
    }
    {
        std::lock_guard<std::mutex> hold(finished_mutex);
        ++finished;
    }
    all_finished.notify_one();
    if (index == 0 && way_out == exit_from_worker) std::exit(0);
    if (index % 2 == 0) return;  // ends while main exits
    for (int round = 0;; ++round) lock_round(index, round);  // runs until the process is gone
}

// Returns when main is to return.
void child() {
    alarm(20);  // a hang fails the run
    for (int index = 0; index < workers; ++index) std::thread(work, index).detach();
    {
        std::unique_lock<std::mutex> hold(finished_mutex);
        all_finished.wait(hold, [] { return finished == workers; });
    }
    switch (way_out) {
    case quick_exit_from_main: std::quick_exit(0);
    case underscore_exit_from_main: std::_Exit(0);
    case exit_from_worker:
        for (;;) lock_round(workers, 0);
    default: return;
    }
}

}  // namespace

int main() {
    for (int run = 0; run < runs; ++run) {
        way_out = run % 4;
        const pid_t pid = fork();
        if (pid < 0) return 2;
        if (pid == 0) {
            child();
            return 0;
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run %d (way out %d) ended with status 0x%x\n", run, way_out, status);
            return 1;
        }
    }
    return 0;
}
