// tavo: clean
// However a thread ends, everything it did is ordered before its join: the work of cleanup
// handlers run by cancellation or pthread_exit, and of its thread-locals' destructors. Detached
// threads that end hand their stacks and thread-locals to later threads, which is no race. A thread
// that calls exit() runs the exit handlers as itself, not as a thread that has ended.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

static int cleaned[2], destroyed, before_exit;
static std::atomic<int> finished;

struct counted_t {
    std::string name = "thread-local with a destructor";
    ~counted_t() {
        if (name.back() == '!') ++destroyed;  // only the joined thread counts
    }
};
static thread_local counted_t counted;

static void cleanup(void* slot) { ++*static_cast<int*>(slot); }

static void* cancelled(void* slot) {
    pthread_cleanup_push(cleanup, slot);
    for (;;) {
        pthread_testcancel();
        usleep(100);
    }
    pthread_cleanup_pop(0);
    return nullptr;
}

static void* exits(void* slot) {
    counted.name += "!";
    pthread_cleanup_push(cleanup, slot);
    pthread_exit(nullptr);
    pthread_cleanup_pop(0);
    return nullptr;
}

static void* detached(void* round) {
    char buffer[512];
    snprintf(buffer, sizeof buffer, "%ld", reinterpret_cast<long>(round));
    counted.name = buffer;
    finished.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

static void* exits_process(void*) {
    before_exit = 1;
    std::exit(0);
}

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
        while (finished.load(std::memory_order_relaxed) <= round) usleep(100);
        usleep(1000);  // the ended thread's stack is back in the C library's cache
    }
    std::atexit([] { std::printf("%d\n", before_exit); });
    pthread_t last;
    pthread_create(&last, nullptr, exits_process, nullptr);
    for (;;) pause();
}
