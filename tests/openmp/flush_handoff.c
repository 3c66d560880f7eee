// A producer publishes data through a flag: plain and without flushes (racy), or written
// atomically with flushes on both sides.
// tavo: racy
// tavo-fixed
#include <omp.h>
#include <stdio.h>

#ifdef FIXED
int flag;
#else
volatile int flag;
#endif
int data;

int main(void) {
  int seen = 0;
#pragma omp parallel num_threads(2)
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
      seen = data;  // race
    }
  }
  printf("%d\n", seen);
  return 0;
}
