// Dependences through depend objects order like the dependences they hold; a taskwait with
// depend waits for them all.
// tavo: clean
#include <omp.h>
#include <stdio.h>

int main(void) {
  int x = 0, seen = 0;
  omp_depend_t writes, reads;
#pragma omp depobj(writes) depend(inout : x)
#pragma omp depobj(reads) depend(in : x)
#pragma omp parallel
#pragma omp single
  {
#pragma omp task depend(depobj : writes) shared(x)
    x = 3;
#pragma omp task depend(depobj : reads) shared(x, seen)
    seen = x;
#pragma omp task depend(depobj : writes) shared(x)
    x += 1;
#pragma omp taskwait depend(inout : x)
    seen += x;
  }
#pragma omp depobj(writes) destroy
#pragma omp depobj(reads) destroy
  printf("%d\n", seen);
  return 0;
}
