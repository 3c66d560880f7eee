// Mergeable and untied tasks fill their own slots (racy: untied ones that yield halfway then all
// add to one counter); a taskwait orders the final sum.
// tavo: racy
// tavo-fixed
#include <cstdio>

#ifdef FIXED
#define SLOT(i) slots[32 + (i)]
#else
#define SLOT(i) counter
#endif

int slots[64], counter;

int main() {
  long total = 0;
#pragma omp parallel
#pragma omp single
  {
    for (int i = 0; i < 32; i++) {
#pragma omp task mergeable firstprivate(i)
      slots[i] = i;
#pragma omp task untied firstprivate(i)
      {
        slots[32 + i] = i;
#pragma omp taskyield
        SLOT(i) += 1;  // race
      }
    }
#pragma omp taskwait
    for (int i = 0; i < 64; i++) total += slots[i];
  }
  std::printf("%ld\n", total);
  return 0;
}
