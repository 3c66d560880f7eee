// Atomic updates and captures, unnamed and named critical sections, locks (a nest lock taken
// again by its holder) and a flag handoff with flushes exclude each other or order; racy, a plain
// read of an atomically updated counter, criticals of different names, an update that forgot the
// lock, and a plain flag without flushes.
// tavo: racy
// tavo-fixed
// tavo-expect: global 'counter'
// tavo-expect: global 'value'
// tavo-expect: global 'guarded'
// tavo-expect: global 'data'
#include <omp.h>
#include <stdio.h>

#include "../frontend/corpus/rendezvous.h"

#define SECOND RACY_OR_FIXED(second, first)
RACY_OR_FIXED(volatile, ) int flag;

int counter, tickets, plain, value, guarded, nested, data;
omp_lock_t lock;
omp_nest_lock_t nest;

static void bump(int depth) {
  omp_set_nest_lock(&nest);
  nested += 1;
  if (depth > 0) bump(depth - 1);
  omp_unset_nest_lock(&nest);
}

__attribute__((noinline)) static void add(int amount) {
  value += amount;  // race
}

int main(void) {
  long seen = 0;
  omp_init_lock(&lock);
  omp_init_nest_lock(&nest);
#pragma omp parallel reduction(+ : seen)
  {
    for (int i = 0; i < 100; i++) {
      omp_set_lock(&lock);
      guarded += 1;  // race
      omp_unset_lock(&lock);
      ONLY_FIXED(while (!omp_test_lock(&lock)) {});
      guarded += 1;  // race
      ONLY_FIXED(omp_unset_lock(&lock));
      bump(2);
#pragma omp atomic
      counter += 1;  // race
      int mine;
#pragma omp atomic capture
      mine = tickets++;
      seen += mine >= 0;
#pragma omp critical
      plain += 1;
      if (omp_get_thread_num() % 2 == 0) {
#pragma omp critical(first)
        add(1);
      } else {
#pragma omp critical(SECOND)
        add(2);
      }
    }
    int now;
#ifdef FIXED
#pragma omp atomic read
#endif
    now = counter;  // race
    seen += now > 0;
  }
#pragma omp parallel num_threads(2) reduction(+ : seen)
  {
    if (omp_get_thread_num() == 0) {
      data = 42;  // race
#ifdef FIXED
#pragma omp flush
#pragma omp atomic write seq_cst
#endif
      flag = 1;  // race
    } else if (omp_get_thread_num() == 1) {
      int ready = 0;
      while (!ready) {
#ifdef FIXED
#pragma omp atomic read seq_cst
#endif
        ready = flag;  // race
      }
#ifdef FIXED
#pragma omp flush
#endif
      seen += data;  // race
    }
  }
  omp_destroy_lock(&lock);
  omp_destroy_nest_lock(&nest);
  printf("%d %d %d %d %d %ld\n", counter, plain, value, guarded, nested, seen);
  return 0;
}
