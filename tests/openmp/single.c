// One thread writes in a single that others read after: without its barrier (racy), or with it;
// copyprivate broadcasts a private value.
// tavo: racy
// tavo-fixed
#include <stdio.h>

#ifdef FIXED
#define NOWAIT
#else
#define NOWAIT nowait
#endif

int main(void) {
  int value = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
    int broadcast = 0;
#pragma omp single NOWAIT
    value = 42;  // race
    seen += value;  // race
#pragma omp single copyprivate(broadcast)
    broadcast = value + 1;  // race
    seen += broadcast;
  }
  printf("%ld\n", seen);
  return 0;
}
