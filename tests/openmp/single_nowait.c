// One thread writes in a single without its barrier while the others read.
// tavo: racy
#include <stdio.h>

int main(void) {
  int value = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp single nowait
    value = 42;  // race
    seen += value;  // race
  }
  printf("%ld\n", seen);
  return 0;
}
