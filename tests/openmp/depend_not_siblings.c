// Dependences order sibling tasks only: tasks of different creators are unordered.
// tavo: racy
#include <stdio.h>

int main(void) {
  int x = 0;
#pragma omp parallel num_threads(2)
  {
#pragma omp task depend(inout : x) shared(x)
    x += 1;  // race
  }
  printf("%d\n", x);
  return 0;
}
