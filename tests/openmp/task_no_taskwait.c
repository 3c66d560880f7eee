// The creator reads a task's result without waiting for it.
// tavo: racy
#include <stdio.h>

int main(void) {
  int x = 0, seen = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task shared(x)
    x = 5;  // race
    seen = x;  // race
  }
  printf("%d\n", seen + x);
  return 0;
}
