// tavo: racy
// A semaphore destroyed while another thread may still post it, and a barrier initialised again
// by one thread after another waited on it, with nothing ordering the threads.
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "rendezvous.h"

namespace {
sem_t semaphore;
pthread_barrier_t barrier;
std::atomic<int> step{0};
}  // namespace

int main() {
    sem_init(&semaphore, 0, 0);
    pthread_barrier_init(&barrier, nullptr, 1);
    std::thread poster([] {
        sem_post(&semaphore);              // race
        pthread_barrier_wait(&barrier);    // race
        step.store(1, std::memory_order_relaxed);
        rendezvous(2);
    });
    std::thread destroyer([] {
        while (step.load(std::memory_order_relaxed) == 0) {
        }
        sem_destroy(&semaphore);                      // race
        pthread_barrier_init(&barrier, nullptr, 1);   // race
        rendezvous(2);
    });
    poster.join();
    destroyer.join();
    pthread_barrier_destroy(&barrier);
    std::puts("done");
    return 0;
}
