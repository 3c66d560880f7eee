// An undeferred task (if(0)) and an included task below a final one complete before their
// creators go on.
// tavo: clean
#include <stdio.h>

int main(void) {
  int x = 0, y = 0, z = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task shared(x) if (0)
    x = 5;
    y = x + 1;
#pragma omp task shared(y, z) final(1)
    {
#pragma omp task shared(y)
      y += 10;
      z = y;
    }
#pragma omp taskwait
  }
  printf("%d %d\n", y, z);
  return 0;
}
