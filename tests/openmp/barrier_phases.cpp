// Neighbours exchange values over many phases, each behind a barrier; racy, the second barrier of
// each phase is missing and a neighbour's next write races with the read.
// tavo: racy
// tavo-fixed
#include <omp.h>
#include <cstdio>

int cells[64];

int main() {
  long total = 0;
#pragma omp parallel reduction(+ : total)
  {
    const int me = omp_get_thread_num(), team = omp_get_num_threads();
    for (int phase = 0; phase < 20; phase++) {
      cells[me] = phase + me;  // race
#pragma omp barrier
      total += cells[(me + 1) % team];  // race
#ifdef FIXED
#pragma omp barrier
#endif
    }
  }
  std::printf("%ld\n", total);
  return 0;
}
