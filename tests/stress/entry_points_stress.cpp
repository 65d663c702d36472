// The core entry points called from several threads at once, each on a
// mixture of inputs, every outcome compared with the one computed before any
// thread started. The Python module runs these same entry points without the
// interpreter lock, so any state they shared between calls would show here:
// as a wrong outcome in any build, and as a report under ThreadSanitizer.
//
//   entry_points_stress [threads] [rounds]
#include "clinical/audit.h"
#include "clinical/entities.h"
#include "clinical/tokenizer.h"
#include "quarn_compiler/compile.h"
#include "quarn_core/quarn_crate/decode.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace quarn;

std::string note(std::size_t size, unsigned seed) {
  static const char* const kWords[] = {
      "Patient", "presents", "with", "chest", "pain", "FEVER", "cough;", "aspirin", "81mg,",
      "MRI",     "lung,",    "x-ray", "CT",   "scan.", "ΟΔΟΣ", "İzmir", "fièvre", "(BP)",
      "e.g.",    "__init__", "heart-pain", "Diabetes\u00a0copd", "kidney\u3000brain", "ΣΑ"};
  std::mt19937 rng(seed);
  std::string out;
  while (out.size() < size) {
    out += kWords[rng() % std::size(kWords)];
    out += rng() % 9 == 0 ? "\n" : " ";
  }
  return out;
}

std::string source(int functions) {
  std::string s = "program stress {\n";
  for (int i = 0; i < functions; ++i) {
    std::string n = std::to_string(i);
    s += "  fn f" + n + "(a: int) -> int { let x = a * " + n + "; if x > 3 { x = x - 1; } " +
         "loop (x < 10, 100) { x = x + 1; } return x; }\n";
  }
  return s + "}\n";
}

std::string entities_json(std::string_view text) {
  std::string out = "[";
  for (const clinical::EntityMatch& m : clinical::extract_entities(text)) {
    if (out.size() > 1) out += ",";
    out += "{\"end\":" + std::to_string(m.end) + ",\"start\":" + std::to_string(m.start) +
           ",\"text\":\"" + std::string(clinical::kTerms[m.term].text) + "\"}";
  }
  return out + "]";
}

// One call of an entry point, its outcome summed up as text.
using Call = std::function<std::string()>;

std::vector<Call> calls() {
  std::vector<Call> out;
  const std::vector<std::string> notes = {note(300, 1), note(150'000, 2), "", "\xff\xfe broken",
                                          "ΣΑ pain\u200b"};
  for (const std::string& t : notes) {
    out.push_back([t] {
      std::string s;
      for (const std::string& token : clinical::tokenize(t)) s += token + "|";
      return s;
    });
    out.push_back([t] {
      std::string s;
      for (const auto& m : clinical::extract_entities(t)) {
        s += std::to_string(m.term) + ":" + std::to_string(m.start) + "-" + std::to_string(m.end) + " ";
      }
      return s;
    });
  }
  std::vector<std::string> texts = {entities_json(notes[0]), entities_json(notes[1]), "not json",
                                    std::string(128, '[') + std::string(128, ']'), "[1.5e3, -0.0]"};
  for (const std::string& e : texts) {
    out.push_back([e] {
      auto r = clinical::create_audit("note-1", e, 1'700'000'000);
      return r.ok() ? r.value() : "error " + r.error().message;
    });
    std::string record = clinical::create_audit("n", e, 5).value();
    out.push_back([record, e] {
      auto a = clinical::verify_audit(record, e), b = clinical::verify_audit(record, e + " ");
      return std::to_string(a.ok() && a.value()) + std::to_string(b.ok() && b.value());
    });
  }
  out.push_back([] { return std::to_string(clinical::verify_audit("{", "").ok()); });
  for (const std::string& src : {source(1), source(200), source(200).substr(0, 3000),
                                 std::string("program p { fn main( }")}) {
    out.push_back([src] {
      auto r = compiler::compile_program_text(src);
      return r.ok() ? std::string(r.value().begin(), r.value().end()) : "error " + r.error().message;
    });
  }
  for (const std::string& src : {source(1), source(200)}) {
    auto compiled = compiler::compile_program_text(src).value();
    std::string bytes(compiled.begin(), compiled.end());
    for (const std::string& b : {bytes, bytes.substr(0, bytes.size() - 1), std::string()}) {
      out.push_back([b] {
        auto r = core::check_program(std::string_view(b));
        return r.ok() ? std::string("ok") : "error " + r.error().message;
      });
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 4;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::vector<Call> work = calls();
  std::vector<std::string> serial;
  for (const Call& c : work) serial.push_back(c());

  std::atomic<int> failures{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::vector<std::size_t> order;
      for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < work.size(); ++i) order.push_back(i);
      }
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      ++ready;
      while (ready.load() < threads) std::this_thread::yield();  // start together
      for (std::size_t i : order) {
        if (work[i]() != serial[i]) {
          std::fprintf(stderr, "thread %d: call %zu gave another outcome\n", t, i);
          ++failures;
          return;
        }
      }
    });
  }
  for (std::thread& t : pool) t.join();
  std::printf("%zu calls x %d rounds on %d threads: %d failures\n", work.size(), rounds, threads,
              failures.load());
  return failures.load() == 0 ? 0 : 1;
}
