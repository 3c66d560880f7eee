// Task dependences: blocks of an array updated by a wavefront of dependent tasks.
#include <stdio.h>

#define BLOCKS 64
#define SIZE 512
double grid[BLOCKS][SIZE];

int main(void) {
#pragma omp parallel
#pragma omp single
  for (int step = 0; step < 20; step++)
    for (int block = 0; block < BLOCKS; block++) {
      double* left = grid[block > 0 ? block - 1 : block];
      double* here = grid[block];
#pragma omp task depend(in : left[0]) depend(inout : here[0]) firstprivate(left, here)
      for (int i = 0; i < SIZE; i++) here[i] = (here[i] + left[SIZE - 1 - i]) / 2 + 1;
    }
  printf("%f\n", grid[BLOCKS - 1][0]);
  return 0;
}
