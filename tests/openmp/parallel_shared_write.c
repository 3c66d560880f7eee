// Every thread of the team writes one shared variable.
// tavo: racy
#include <omp.h>
#include <stdio.h>

int main(void) {
  int last = -1;
#pragma omp parallel
  last = omp_get_thread_num();  // race
  printf("%d\n", last >= 0);
  return 0;
}
