// masked, then an explicit barrier before the reads.
// tavo: clean
#include <stdio.h>

int main(void) {
  int value = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp masked
    value = 7;
#pragma omp barrier
    seen += value;
  }
  printf("%ld\n", seen);
  return 0;
}
