// The programs the C++ benchmarks compile: many small functions (lets,
// arithmetic, if/else, loops, calls, switches) up to a given size, so that
// every stage is measured on the same text.
#pragma once

#include <cstddef>
#include <string>

namespace bench_corpus {

inline std::string function_text(std::size_t i) {
  std::string n = std::to_string(i);
  std::string prev = std::to_string(i == 0 ? 0 : i - 1);
  return "  fn f" + n + "(a: int, b: float) -> int {\n"
         "    let x = a * 2 + b - 3;\n"
         "    let y: int = (x % 7) << 1;\n"
         "    // adjust the bounds\n"
         "    if x > y && a != 0 { x = x + 1; } else { y -= 2; }\n"
         "    loop (x < 100, 50) { x += 1; if x == 50 { break; } }\n"
         "    switch y { 0 | 1 => { g(x, y); } 2 => { h(\"two\"); } }\n"
         "    let z = [x, y, {k: 1.5}];\n"
         "    return f" + prev + "(x, y) + z[0].len;\n"
         "  }\n";
}

// A program block of such functions, `bytes` long or a function longer.
inline std::string program_of_size(std::size_t bytes) {
  std::string src = "program bench {\n";
  for (std::size_t i = 0; src.size() < bytes; ++i) src += function_text(i);
  src += "}\n";
  return src;
}

}  // namespace bench_corpus
