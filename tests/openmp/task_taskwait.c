// The creator reads a task's result without waiting for it (racy), or after a taskwait; the
// recursion waits level by level.
// tavo: racy
// tavo-fixed
#include <stdio.h>

static int fib(int n) {
  if (n < 2) return n;
  int a = 0, b = 0;
#pragma omp task shared(a)
  a = fib(n - 1);
#pragma omp task shared(b)
  b = fib(n - 2);
#pragma omp taskwait
  return a + b;
}

int main(void) {
  int result = 0, x = 0, seen = 0;
#pragma omp parallel
#pragma omp single
  {
    result = fib(12);
#pragma omp task shared(x)
    x = 5;  // race
#ifdef FIXED
#pragma omp taskwait
#endif
    seen = x;  // race
  }
  printf("%d %d\n", result, seen + x);
  return 0;
}
