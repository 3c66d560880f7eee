// The creator reads the tasks' results after a taskwait; recursion waits level by level.
// tavo: clean
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
  int result = 0;
#pragma omp parallel
#pragma omp single
  result = fib(12);
  printf("%d\n", result);
  return 0;
}
