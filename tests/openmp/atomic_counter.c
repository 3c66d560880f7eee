// Atomic updates and an atomic capture; the result read plainly in the region, or atomically.
// tavo: racy
// tavo-fixed
#include <stdio.h>

int counter, tickets;

int main(void) {
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
    for (int i = 0; i < 100; i++) {
#pragma omp atomic
      counter += 1;  // race
      int mine;
#pragma omp atomic capture
      mine = tickets++;
      seen += mine >= 0;
    }
    int now;
#ifdef FIXED
#pragma omp atomic read
#endif
    now = counter;  // race
    seen += now > 0;
  }
  printf("%d %ld\n", counter, seen);
  return 0;
}
