// Atomic updates, but a plain read of the counter in the same region.
// tavo: racy
#include <stdio.h>

int counter;

int main(void) {
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp atomic
    counter += 1;  // race
    seen += counter;  // race
  }
  printf("%ld\n", seen);
  return 0;
}
