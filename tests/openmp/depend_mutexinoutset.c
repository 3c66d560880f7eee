// mutexinoutset tasks exclude each other and follow the writer before them; the reader after
// them races unless it declares its dependence.
// tavo: racy
// tavo-fixed
#include <stdio.h>

#ifdef FIXED
#define READER depend(in : x)
#else
#define READER
#endif

int main(void) {
  int x = 0, seen = 0;
#pragma omp parallel
#pragma omp single
  {
#pragma omp task depend(out : x) shared(x)
    x = 1;  // race
    for (int i = 0; i < 4; i++) {
#pragma omp task depend(mutexinoutset : x) shared(x)
      x += 2;  // race
    }
#pragma omp task READER shared(x, seen)
    seen = x;  // race
#pragma omp taskwait
  }
  printf("%d\n", seen);
  return 0;
}
