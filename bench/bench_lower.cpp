// What a compile spends after the parser: lowering and encoding, by the
// route the compile driver takes (each definition lowered and encoded as it
// comes) and by the plain route (whole tree, whole instruction list, one
// encode), on the programs of bench_corpus.h at 1 MB and 4 MB.
//
// Rows, each the best of several rounds in process CPU time, the rounds of
// all rows interleaved so that a busy machine slows every row alike:
//   parse          parse_source alone, whole tree kept
//   parse+sink     parse_source handing each definition to a sink that drops it
//   lower (tree)   lower_program over the parsed tree
//   encode (tree)  encode_program of that
//   lower+encode   ProgramLowering with an encoder, fed the parsed definitions
//   driver         compile_program_into, the whole call
// "in driver" is driver minus parse+sink: what lowering and encoding add to
// the call.
//
//   bench_lower [rounds]             every row
//   bench_lower rounds streamed      only lower+encode at 1 MB, for profilers
//   bench_lower rounds driver        only the driver at 1 MB, for profilers
//   bench_lower rounds tree          only lower (tree) at 4 MB, for profilers

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "bench_corpus.h"
#include "quarn_compiler/compile.h"
#include "quarn_compiler/lower/lower.h"
#include "quarn_compiler/veka/parse.h"
#include "quarn_core/quarn_crate/encode.h"

namespace {

using namespace quarn;

using bench_corpus::program_of_size;

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class DroppingSink final : public compiler::ProgramSink {
 public:
  void modules_parsed(const compiler::Program&) override {}
  void definition_parsed(compiler::FunctionDef&& definition) override {
    compiler::FunctionDef dropped = std::move(definition);
  }
};

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "bench_lower: %s\n", what);
  std::exit(1);
}

struct Best {
  double parse = 1e9, parse_sink = 1e9, lower = 1e9, encode = 1e9, streamed = 1e9, driver = 1e9;
};

void streamed_round(const compiler::Program& program, std::size_t reserve, Best& best) {
  std::vector<std::uint8_t> streamed_out;
  streamed_out.reserve(reserve);
  double s0 = cpu_seconds();
  core::ProgramEncoder encoder(streamed_out);
  std::optional<compiler::ProgramLowering::StreamedMetadata> end;
  {
    compiler::ProgramLowering lowering(encoder);
    if (!lowering.add_modules(program).ok()) die("modules");
    for (const compiler::FunctionDef& f : program.definitions) {
      if (!lowering.add_definition(f).ok()) die("definition");
    }
    auto meta = std::move(lowering).finish_streamed();
    if (!meta.ok()) die("finish");
    end.emplace(std::move(meta).value());
  }
  std::optional<core::ProgramMetadata> metadata(std::move(end->metadata));
  if (!encoder.finish(metadata, &end->param_types).ok()) die("encoder finish");
  double s1 = cpu_seconds();
  best.streamed = std::min(best.streamed, s1 - s0);
}

void round(const std::string& src, Best& best, std::vector<std::uint8_t>& out) {
  double t0 = cpu_seconds();
  auto parsed = compiler::parse_source(src);
  double t1 = cpu_seconds();
  if (!parsed.ok()) die("generated program did not parse");
  const compiler::Program& program = parsed.value();
  best.parse = std::min(best.parse, t1 - t0);

  {
    double s0 = cpu_seconds();
    auto lowered = compiler::lower_program(program);
    double s1 = cpu_seconds();
    if (!lowered.ok()) die("reference lowering failed");
    auto bytes = core::encode_program(lowered.value());
    double s2 = cpu_seconds();
    if (!bytes.ok()) die("reference encoding failed");
    best.lower = std::min(best.lower, s1 - s0);
    best.encode = std::min(best.encode, s2 - s1);
  }
  streamed_round(program, src.size() * 4, best);
  {
    DroppingSink sink;
    double s0 = cpu_seconds();
    auto with_sink = compiler::parse_source(src, &sink);
    double s1 = cpu_seconds();
    if (!with_sink.ok()) die("parse with sink");
    best.parse_sink = std::min(best.parse_sink, s1 - s0);
  }
  {
    double s0 = cpu_seconds();
    auto done = compiler::compile_program_into(src, out);
    double s1 = cpu_seconds();
    if (!done.ok()) die("driver failed");
    best.driver = std::min(best.driver, s1 - s0);
  }
}

void report(const std::string& src, int rounds) {
  Best best;
  std::vector<std::uint8_t> out;
  for (int i = 0; i < rounds; ++i) round(src, best, out);
  const double mb = static_cast<double>(src.size()) / 1e6;
  auto row = [&](const char* name, double s) {
    std::printf("  %-14s %8.2f ms %8.1f MB/s\n", name, s * 1e3, mb / s);
  };
  std::printf("%.2f MB source, %.2f MB encoded, best of %d rounds, CPU time\n", mb,
              static_cast<double>(out.size()) / 1e6, rounds);
  row("parse", best.parse);
  row("parse+sink", best.parse_sink);
  row("lower (tree)", best.lower);
  row("encode (tree)", best.encode);
  row("lower+encode", best.streamed);
  row("driver", best.driver);
  row("in driver", std::max(best.driver - best.parse_sink, 1e-9));
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  if (argc > 2 && std::string_view(argv[2]) == "streamed") {
    const std::string src = program_of_size(1024 * 1024);
    auto parsed = compiler::parse_source(src);
    if (!parsed.ok()) die("generated program did not parse");
    Best best;
    for (int i = 0; i < rounds; ++i) streamed_round(parsed.value(), src.size() * 4, best);
    std::printf("lower+encode %.2f ms\n", best.streamed * 1e3);
    return 0;
  }
  if (argc > 2 && std::string_view(argv[2]) == "tree") {
    const std::string src = program_of_size(4 * 1024 * 1024);
    auto parsed = compiler::parse_source(src);
    if (!parsed.ok()) die("generated program did not parse");
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
      double s0 = cpu_seconds();
      auto lowered = compiler::lower_program(parsed.value());
      best = std::min(best, cpu_seconds() - s0);
      if (!lowered.ok()) die("reference lowering failed");
    }
    std::printf("lower (tree) %.2f ms\n", best * 1e3);
    return 0;
  }
  if (argc > 2 && std::string_view(argv[2]) == "driver") {
    const std::string src = program_of_size(1024 * 1024);
    std::vector<std::uint8_t> out;
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
      double s0 = cpu_seconds();
      if (!compiler::compile_program_into(src, out).ok()) die("driver failed");
      best = std::min(best, cpu_seconds() - s0);
    }
    std::printf("driver %.2f ms\n", best * 1e3);
    return 0;
  }
  report(program_of_size(1024 * 1024), rounds);
  report(program_of_size(4 * 1024 * 1024), std::max(3, rounds / 2));
  return 0;
}
