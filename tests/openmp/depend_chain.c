// out, inout and in dependences chain sibling tasks; taskwait orders the last read. Racy, two
// tasks that both only declare in order nothing between them, but both write.
// tavo: racy
// tavo-fixed
#include <stdio.h>

#ifdef FIXED
#define WRITER inout
#else
#define WRITER in
#endif

int main(void) {
  int x = 0, y = 0, seen = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task depend(out : x) shared(x)
    x = 1;
#pragma omp task depend(WRITER : x) shared(x)
    x += 1;  // race
#pragma omp task depend(WRITER : x) shared(x)
    x += 2;  // race
#pragma omp task depend(in : x) depend(out : y) shared(x, y)
    y = x * 10;  // race
#pragma omp task depend(in : x) shared(x, seen)
    seen = x;  // race
#pragma omp task depend(inout : x) depend(in : y) shared(x, y)
    x = y + 1;
#pragma omp taskwait
  }
  printf("%d %d %d\n", x, y, seen);
  return 0;
}
