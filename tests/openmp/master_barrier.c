// master has no barrier: the other threads read while the master thread writes. Fixed: masked,
// then an explicit barrier before the reads.
// tavo: racy
// tavo-fixed
#include <stdio.h>

int main(void) {
  int value = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#ifdef FIXED
#pragma omp masked
    value = 7;
#pragma omp barrier
#else
#pragma omp master
    value = 7;  // race
#endif
    seen += value;  // race
  }
  printf("%ld\n", seen);
  return 0;
}
