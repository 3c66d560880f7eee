// Reading inside the taskgroup, before it ends, races with a grandchild task.
// tavo: racy
#include <stdio.h>

int leaf;

int main(void) {
  int seen = 0;
#pragma omp parallel
#pragma omp single
#pragma omp taskgroup
  {
#pragma omp task
    {
#pragma omp task
      leaf = 1;  // race
    }
#pragma omp taskwait
    seen = leaf;  // race
  }
  printf("%d\n", seen + leaf);
  return 0;
}
