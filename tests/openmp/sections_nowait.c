// A section writes what every thread reads after sections that have no barrier.
// tavo: racy
#include <stdio.h>

int main(void) {
  int x = 0, y = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp sections nowait
    {
#pragma omp section
      x = 1;  // race
#pragma omp section
      y = 2;  // race
    }
    seen += x + y;  // race
  }
  printf("%ld\n", seen);
  return 0;
}
