// tavo: clean
// However a thread ends, everything it did is ordered before its join: the work of cleanup
// handlers run by cancellation or pthread_exit, and of its thread-locals' destructors. Detached
// threads that end hand their stacks and thread-locals to later threads, which is no race. Then 40
// child processes end while detached std::threads are still ending, still synchronising and still
// running, and while the program's static destructors run: main returns, a worker calls
// std::exit (and runs the exit handlers as itself, not as a thread that has ended), main calls
// std::quick_exit or std::_Exit. None may crash, hang or report.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

int cleaned[2], destroyed, before_exit;
std::atomic<int> finished_detached;

struct counted_t {
    std::string name = "thread-local with a destructor";
    ~counted_t() {
        if (name.back() == '!') ++destroyed;  // only the joined thread counts
    }
};
thread_local counted_t counted;

void cleanup(void* slot) { ++*static_cast<int*>(slot); }

void* cancelled(void* slot) {
    pthread_cleanup_push(cleanup, slot);
    for (;;) usleep(100);  // a cancellation point
    pthread_cleanup_pop(0);
    return nullptr;
}

void* exits(void* slot) {
    counted.name += "!";
    pthread_cleanup_push(cleanup, slot);
    pthread_exit(nullptr);
    pthread_cleanup_pop(0);
    return nullptr;
}

void* detached(void* round) {
    char buffer[512];
    snprintf(buffer, sizeof buffer, "%ld", reinterpret_cast<long>(round));
    counted.name = buffer;
    finished_detached.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

constexpr int workers = 8, locks = 2048;
enum { return_from_main, exit_from_worker, quick_exit_from_main, underscore_exit_from_main };
int way_out;
std::mutex mutexes[locks];  // many, so that the library's tables of sync objects are large
long counts[workers + 2];   // one per thread, then main, then the static destructor
std::mutex finished_mutex;
// Never destroyed: workers may still notify it while the exit handlers run.
std::condition_variable& all_finished = *new std::condition_variable;
int finished = 0;

void lock_round(int index, int round) {
    std::lock_guard<std::mutex> hold(mutexes[(index * 7 + round) % locks]);
    ++counts[index];
}

// A static object whose destructor synchronises while the workers still do.
struct tally_t {
    ~tally_t() { for (int round = 0; round < 100; ++round) lock_round(workers + 1, round); }
} tally;

void work(int index) {
    for (int round = 0; round < locks; ++round) lock_round(index, round);
    {
        std::lock_guard<std::mutex> hold(finished_mutex);
        ++finished;
    }
    all_finished.notify_one();
    if (index == 0 && way_out == exit_from_worker) before_exit = 1, std::exit(0);
    if (index % 2 == 0) return;  // ends while main exits
    for (int round = 0;; ++round) lock_round(index, round);  // runs until the process is gone
}

void child() {
    alarm(20);  // a hang fails the run
    std::atexit([] { std::printf("%d\n", before_exit); });
    for (int index = 0; index < workers; ++index) std::thread(work, index).detach();
    {
        std::unique_lock<std::mutex> hold(finished_mutex);
        all_finished.wait(hold, [] { return finished == workers; });
    }
    if (way_out == quick_exit_from_main) std::quick_exit(0);
    if (way_out == underscore_exit_from_main) std::_Exit(0);
    while (way_out == exit_from_worker) lock_round(workers, 0);
}

}  // namespace

int main() {
    pthread_t threads[2];
    pthread_create(&threads[0], nullptr, cancelled, &cleaned[0]);
    pthread_create(&threads[1], nullptr, exits, &cleaned[1]);
    pthread_cancel(threads[0]);
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    std::printf("%d %d %d\n", ++cleaned[0], ++cleaned[1], ++destroyed);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    for (long round = 0; round < 8; ++round) {
        pthread_t thread;
        pthread_create(&thread, &attributes, detached, reinterpret_cast<void*>(round));
        while (finished_detached.load(std::memory_order_relaxed) <= round) usleep(100);
        usleep(1000);  // the ended thread's stack is back in the C library's cache
    }
    for (int run = 0; run < 40; ++run) {
        way_out = run % 4;
        const pid_t pid = fork();
        if (pid == 0) {
            child();
            return 0;
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run %d (way out %d) ended with status 0x%x\n", run, way_out, status);
            return 1;
        }
    }
    return 0;
}
