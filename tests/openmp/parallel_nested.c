// Inner teams of two nested regions write one variable shared by all of them.
// tavo: racy
#include <omp.h>
#include <stdio.h>

int main(void) {
  int shared = 0;
  omp_set_max_active_levels(2);
#pragma omp parallel num_threads(2)
  {
#pragma omp parallel num_threads(2)
    shared = omp_get_ancestor_thread_num(1) * 2 + omp_get_thread_num();  // race
  }
  printf("%d\n", shared >= 0);
  return 0;
}
