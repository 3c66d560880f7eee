// mutexinoutset tasks exclude each other, follow the writer before them and precede the reader after.
// tavo: clean
#include <stdio.h>

int main(void) {
  int x = 0, seen = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task depend(out : x) shared(x)
    x = 1;
    for (int i = 0; i < 4; i++) {
#pragma omp task depend(mutexinoutset : x) shared(x)
      x += 2;
    }
#pragma omp task depend(in : x) shared(x, seen)
    seen = x;
#pragma omp taskwait
  }
  printf("%d\n", seen);
  return 0;
}
