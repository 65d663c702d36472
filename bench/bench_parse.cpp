// Parse throughput on the programs of bench_corpus.h at about 100 KB, 1 MB
// and 4 MB, then the ratio time(4 MB) / time(1 MB), which stays near 4 when parsing is
// linear.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "bench_corpus.h"
#include "quarn_compiler/compile.h"
#include "quarn_compiler/lower/lower.h"
#include "quarn_compiler/veka/parse.h"
#include "quarn_core/quarn_crate/encode.h"

namespace {

using bench_corpus::program_of_size;

const std::string& source(size_t bytes) {
  static std::string s100k = program_of_size(100 * 1024);
  static std::string s1m = program_of_size(1024 * 1024);
  static std::string s4m = program_of_size(4 * 1024 * 1024);
  return bytes <= 100 * 1024 ? s100k : bytes <= 1024 * 1024 ? s1m : s4m;
}

void BM_Parse(benchmark::State& state) {
  const std::string& src = source(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto result = quarn::compiler::parse_source(src);
    if (!result.ok()) {
      state.SkipWithError("generated program did not parse");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_Parse)->Arg(100 * 1024)->Arg(1024 * 1024)->Arg(4 * 1024 * 1024)->Unit(benchmark::kMillisecond);

// Process CPU time: the machine the benchmark runs on may be shared.
double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best CPU time of `runs` parses, the tree freed inside the timing.
template <class Parse>
double best_seconds(const std::string& src, int runs, Parse parse) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    double t0 = cpu_seconds();
    {
      auto result = parse(src);
      benchmark::DoNotOptimize(result);
    }
    double t1 = cpu_seconds();
    best = std::min(best, t1 - t0);
  }
  return best;
}

double best_seconds(const std::string& src, int runs) {
  return best_seconds(src, runs, [](const std::string& s) { return quarn::compiler::parse_source(s); });
}

// Where a compile's time goes: parsing the whole tree, lowering it, encoding
// the lowered program, and the whole driver (which lowers each definition
// as it is read), each the best of `runs` in CPU time.
void stage_breakdown(const std::string& src, int runs) {
  using namespace quarn;
  double parse = 1e9, lower = 1e9, encode = 1e9, whole = 1e9;
  for (int i = 0; i < runs; ++i) {
    double t0 = cpu_seconds();
    auto parsed = compiler::parse_source(src);
    double t1 = cpu_seconds();
    auto lowered = compiler::lower_program(parsed.value());
    double t2 = cpu_seconds();
    auto bytes = core::encode_program(lowered.value());
    double t3 = cpu_seconds();
    benchmark::DoNotOptimize(bytes);
    parse = std::min(parse, t1 - t0);
    lower = std::min(lower, t2 - t1);
    encode = std::min(encode, t3 - t2);
    double t4 = cpu_seconds();
    auto outcome = compiler::compile_program_text(src);
    double t5 = cpu_seconds();
    benchmark::DoNotOptimize(outcome);
    whole = std::min(whole, t5 - t4);
  }
  auto mbs = [&](double s) { return static_cast<double>(src.size()) / s / 1e6; };
  std::printf("stages, %.1f MB, best of %d, CPU time: parse %.1f ms (%.1f MB/s), lower %.1f ms "
              "(%.1f MB/s), encode %.1f ms (%.1f MB/s), whole driver %.1f ms (%.1f MB/s)\n",
              static_cast<double>(src.size()) / 1e6, runs, parse * 1e3, mbs(parse), lower * 1e3,
              mbs(lower), encode * 1e3, mbs(encode), whole * 1e3, mbs(whole));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const std::string& one = source(1024 * 1024);
  const std::string& four = source(4 * 1024 * 1024);
  double t1 = best_seconds(one, 9);
  double t4 = best_seconds(four, 9);
  std::printf("best of 9, CPU time: parse 1 MB: %.1f ms (%.1f MB/s), 4 MB: %.1f ms (%.1f MB/s), ratio time(4 MB)/time(1 MB) = %.2f\n",
              t1 * 1e3, one.size() / t1 / 1e6, t4 * 1e3, four.size() / t4 / 1e6, t4 / t1);
  stage_breakdown(one, 5);
  stage_breakdown(four, 3);
  return 0;
}
