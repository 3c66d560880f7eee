// A producer publishes data through a flag it writes atomically, with flushes on both sides.
// tavo: clean
#include <omp.h>
#include <stdio.h>

int data, flag;

int main(void) {
  int seen = 0;
#pragma omp parallel num_threads(2)
  {
    if (omp_get_thread_num() == 0) {
      data = 42;
#pragma omp flush
#pragma omp atomic write seq_cst
      flag = 1;
    } else if (omp_get_thread_num() == 1) {
      int ready = 0;
      while (!ready) {
#pragma omp atomic read seq_cst
        ready = flag;
      }
#pragma omp flush
      seen = data;
    }
  }
  printf("%d\n", seen);
  return 0;
}
