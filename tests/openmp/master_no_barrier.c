// master has no barrier: the other threads read while the master thread writes.
// tavo: racy
#include <stdio.h>

int main(void) {
  int value = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp master
    value = 7;  // race
    seen += value;  // race
  }
  printf("%ld\n", seen);
  return 0;
}
