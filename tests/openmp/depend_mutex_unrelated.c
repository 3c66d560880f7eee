// mutexinoutset tasks exclude each other, but not a sibling that declares no dependence.
// tavo: racy
#include <stdio.h>

int main(void) {
  int x = 0, y = 0;
#pragma omp parallel
#pragma omp single
  {
    for (int i = 0; i < 2; i++) {
#pragma omp task depend(mutexinoutset : x) shared(y)
      y += 1;  // race
    }
#pragma omp task shared(y)
    y += 2;  // race
  }
  printf("%d %d\n", x, y);
  return 0;
}
