// Every thread runs a target region that writes the same variable.
// tavo: racy
#include <stdio.h>

int x;

int main(void) {
#pragma omp parallel
  {
#pragma omp target map(tofrom : x)
    x += 1;  // race
  }
  printf("%d\n", x);
  return 0;
}
