// Sections write different variables; their barrier orders the reads after them.
// tavo: clean
#include <stdio.h>

int main(void) {
  int x = 0, y = 0, z = 0;
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
#pragma omp sections
    {
#pragma omp section
      x = 1;
#pragma omp section
      y = 2;
#pragma omp section
      z = 3;
    }
    seen += x + y + z;
  }
  printf("%ld\n", seen);
  return 0;
}
