// Each thread writes its own slot (racy: all the same one); the encountering thread reads them
// all after the region, and a second region reuses what the first wrote.
// tavo: racy
// tavo-fixed
#include <omp.h>
#include <stdio.h>

#ifdef FIXED
#define SLOT(thread) ((thread) % 64)
#else
#define SLOT(thread) 0
#endif

int main(void) {
  int slots[64] = {0};
#pragma omp parallel
  {
    int mine = omp_get_thread_num();
    slots[SLOT(mine)] = mine + 1;  // race
  }
  int sum = 0;
  for (int i = 0; i < 64; i++) sum += slots[i];
#pragma omp parallel
  slots[SLOT(omp_get_thread_num())] = 0;
  printf("%d\n", sum > 0);
  return 0;
}
