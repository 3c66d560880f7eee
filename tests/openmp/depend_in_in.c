// Two tasks that both only declare in order nothing between them, but both write.
// tavo: racy
#include <stdio.h>

int main(void) {
  int x = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task depend(in : x) shared(x)
    x += 1;  // race
#pragma omp task depend(in : x) shared(x)
    x += 2;  // race
  }
  printf("%d\n", x);
  return 0;
}
