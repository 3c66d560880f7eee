// Explicit tasks and task waits: a recursive Fibonacci, one task per call.
#include <stdio.h>

static long fib(int n) {
  if (n < 2) return n;
  long x = 0, y = 0;
#pragma omp task shared(x)
  x = fib(n - 1);
#pragma omp task shared(y)
  y = fib(n - 2);
#pragma omp taskwait
  return x + y;
}

int main(void) {
  long result = 0;
#pragma omp parallel
#pragma omp single
  result = fib(18);
  printf("%ld\n", result);
  return 0;
}
