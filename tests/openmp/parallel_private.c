// Each thread writes its own slot; the encountering thread reads them all after the region.
// tavo: clean
#include <omp.h>
#include <stdio.h>

int main(void) {
  int slots[64] = {0};
#pragma omp parallel
  {
    int mine = omp_get_thread_num();
    slots[mine % 64] = mine + 1;
  }
  int sum = 0;
  for (int i = 0; i < 64; i++) sum += slots[i];
#pragma omp parallel
  slots[omp_get_thread_num() % 64] = 0;  // a second region reuses what the first wrote
  printf("%d\n", sum > 0);
  return 0;
}
