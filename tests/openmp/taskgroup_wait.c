// A taskgroup waits for its tasks and their descendants.
// tavo: clean
#include <stdio.h>

int leaves[8];

int main(void) {
  long total = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp taskgroup
    {
      for (int i = 0; i < 4; i++) {
#pragma omp task firstprivate(i)
        {
#pragma omp task firstprivate(i)
          leaves[2 * i] = i;
          leaves[2 * i + 1] = i;
        }
      }
    }
    for (int i = 0; i < 8; i++) total += leaves[i];
  }
  printf("%ld\n", total);
  return 0;
}
