// A single's barrier orders its write before the reads; copyprivate broadcasts a private value.
// tavo: clean
#include <stdio.h>

int main(void) {
  int value = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
    int broadcast = 0;
#pragma omp single
    value = 42;
    seen += value;
#pragma omp single copyprivate(broadcast)
    broadcast = value + 1;
    seen += broadcast;
  }
  printf("%ld\n", seen);
  return 0;
}
