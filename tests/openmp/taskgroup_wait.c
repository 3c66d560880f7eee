// A taskgroup waits for its tasks and their descendants; a taskwait inside it waits for the
// children only, so reading there races with the grandchildren.
// tavo: racy
// tavo-fixed
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
          leaves[2 * i] = i;  // race
          leaves[2 * i + 1] = i;
        }
      }
#ifndef FIXED
#pragma omp taskwait
      for (int i = 0; i < 8; i++) total += leaves[i];  // race
#endif
    }
#ifdef FIXED
    for (int i = 0; i < 8; i++) total += leaves[i];
#endif
  }
  printf("%ld\n", total);
  return 0;
}
