// Mergeable and untied tasks fill their own slots; a taskwait orders the final sum.
// tavo: clean
#include <cstdio>

int slots[64];

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
        slots[32 + i] += 1;
      }
    }
#pragma omp taskwait
    for (int i = 0; i < 64; i++) total += slots[i];
  }
  std::printf("%ld\n", total);
  return 0;
}
