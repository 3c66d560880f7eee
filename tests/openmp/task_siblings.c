// Two sibling tasks write one variable: whichever threads run them, nothing orders them.
// tavo: racy
#include <stdio.h>

int main(void) {
  int x = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task shared(x)
    x += 1;  // race
#pragma omp task shared(x)
    x += 2;  // race
  }
  printf("%d\n", x);
  return 0;
}
