// out, inout and in dependences chain sibling tasks; taskwait orders the last read.
// tavo: clean
#include <stdio.h>

int main(void) {
  int x = 0, y = 0, seen = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task depend(out : x) shared(x)
    x = 1;
#pragma omp task depend(inout : x) shared(x)
    x += 1;
#pragma omp task depend(in : x) depend(out : y) shared(x, y)
    y = x * 10;
#pragma omp task depend(in : x) shared(x, seen)
    seen = x;
#pragma omp task depend(inout : x) depend(in : y) shared(x, y)
    x = y + 1;
#pragma omp taskwait
  }
  printf("%d %d %d\n", x, y, seen);
  return 0;
}
