// Atomic updates, an atomic capture, and atomic reads of the result inside the region.
// tavo: clean
#include <stdio.h>

int counter, tickets;

int main(void) {
  long seen = 0;
#pragma omp parallel reduction(+ : seen)
  {
    for (int i = 0; i < 100; i++) {
#pragma omp atomic
      counter += 1;
      int mine;
#pragma omp atomic capture
      mine = tickets++;
      seen += mine >= 0;
    }
    int now;
#pragma omp atomic read
    now = counter;
    seen += now > 0;
  }
  printf("%d %ld\n", counter, seen);
  return 0;
}
