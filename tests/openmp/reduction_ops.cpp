// Reductions of several operators, and a user-declared one: the runtime's combining is no race;
// the sum without its reduction clause is.
// tavo: racy
// tavo-fixed
#include <cstdio>

struct pair_t {
  long low, high;
};
#pragma omp declare reduction(span : pair_t : omp_out.low = omp_in.low < omp_out.low ? omp_in.low : omp_out.low, \
                              omp_out.high = omp_in.high > omp_out.high ? omp_in.high : omp_out.high)           \
    initializer(omp_priv = {1000000, -1})

#ifdef FIXED
#define SUM reduction(+ : sum)
#else
#define SUM
#endif

__attribute__((noinline)) static void add(long* to, int value) {
  *to += value;  // race
}

int main() {
  long sum = 0, product = 1;
  int biggest = 0;
  double mean = 0;
  pair_t span = {1000000, -1};
#pragma omp parallel for SUM reduction(+ : mean) reduction(* : product) reduction(max : biggest) reduction(span : span)
  for (int i = 1; i <= 20; i++) {
    add(&sum, i);
    mean += i / 20.0;
    product *= (i % 3) + 1;
    biggest = i > biggest ? i : biggest;
    span.low = i < span.low ? i : span.low;
    span.high = i > span.high ? i : span.high;
  }
  std::printf("%ld %ld %d %.1f %ld %ld\n", sum, product, biggest, mean, span.low, span.high);
  return 0;
}
