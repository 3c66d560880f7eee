// A deferred target task writes what its creator reads without waiting.
// tavo: racy
#include <stdio.h>

int x;

int main(void) {
  int seen = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp target nowait map(tofrom : x)
    x = 5;  // race
    seen = x;  // race
#pragma omp taskwait
  }
  printf("%d %d\n", seen, x);
  return 0;
}
