// Hundreds of tasks with firstprivate data: the runtime reuses their data blocks, which carry
// nothing from one task to the next.
// tavo: clean
#include <stdio.h>

#define N 600
int out[N];

int main(void) {
  long total = 0;
#pragma omp parallel
#pragma omp single
  for (int i = 0; i < N; i++) {
    int copy[4] = {i, i + 1, i + 2, i + 3};
#pragma omp task firstprivate(i, copy)
    {
      copy[0] += copy[3];
      out[i] = copy[0] - 3;
    }
  }
  for (int i = 0; i < N; i++) total += out[i];
  printf("%ld\n", total);
  return 0;
}
