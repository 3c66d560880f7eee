// Sections write different variables that every thread reads after them: without a barrier
// (racy), or behind their implicit one.
// tavo: racy
// tavo-fixed
#include <stdio.h>

#ifdef FIXED
#define NOWAIT
#else
#define NOWAIT nowait
#endif

int main(void) {
  int x = 0, y = 0, z = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp sections NOWAIT
    {
#pragma omp section
      x = 1;  // race
#pragma omp section
      y = 2;  // race
#pragma omp section
      z = 3;  // race
    }
    seen += x + y + z;  // race
  }
  printf("%ld\n", seen);
  return 0;
}
