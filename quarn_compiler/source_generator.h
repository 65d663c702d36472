// Random Quarn programs that parse and lower: items, statements and
// expressions of every form, nested and chained, with the names they use
// declared first. For tests and fuzz targets that hold two compile routes to
// the same outcome.
//
// Usage:
//   SplitMix choices(42);                        // or FuzzChoices over bytes
//   std::string text = generate_program(choices);
//
// A choice source answers next(n) with a number below n. Generation is a
// pure function of the answers: the same answers give the same text. When a
// fuzz input runs out, every answer is 0, which picks the smallest form and
// ends every repetition (0 never means "one more"), so generation ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::compiler::testing {

class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  std::uint32_t next(std::uint32_t n) {
    state_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return n == 0 ? 0 : static_cast<std::uint32_t>(z % n);
  }

 private:
  std::uint64_t state_;
};

// Answers from the bytes of a fuzz input, one byte each; 0 once they run out.
class FuzzChoices {
 public:
  FuzzChoices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t next(std::uint32_t n) {
    if (n == 0 || at_ >= size_) return 0;
    return data_[at_++] % n;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// How much one program holds. Full: up to four functions of up to 260
// statements each. Small: up to two functions of up to 30 statements, for
// tests that compile hundreds of thousands of programs. The same choices
// give the same text for a given size; Full is what every recorded outcome
// was made with.
enum class ProgramSize : std::uint8_t { Full, Small };

template <class Choices>
class ProgramGenerator {
 public:
  explicit ProgramGenerator(Choices& c, ProgramSize size = ProgramSize::Full)
      : c_(c), small_(size == ProgramSize::Small) {}

  std::string program() {
    std::string out;
    if (pick(3) == 0) out += "import { sin, cos } from \"lib/math\";\n";
    out += "program gen {\n";
    if (pick(2) == 0) module(out);
    const std::uint32_t functions = 1 + pick(small_ ? 2 : 4);
    for (std::uint32_t i = 0; i < functions; ++i) function(out, "f" + std::to_string(i));
    out += "}\n";
    return out;
  }

 private:
  std::uint32_t pick(std::uint32_t n) { return c_.next(n); }
  bool budget_left() { return --budget_ > 0; }

  void module(std::string& out) {
    out += "  module m {\n    capability: net, fs\n";
    out += "    const K: int = " + std::to_string(pick(100)) + ";\n";
    out += "    struct P { x: int, y: [float] }\n";
    out += "    enum Color { Red, Green, Blue }\n";
    names_ = {"K"};  // a constant: read, never assigned
    constants_ = 1;
    out += "    export fn helper(a: int, b: float) -> int { return a * K; }\n";
    out += "  }\n";
    enums_ = true;
  }

  void function(std::string& out, const std::string& name) {
    static constexpr std::string_view kAttributes[] = {"", "#[inline]\n  ", "@max_depth(50)\n  ",
                                                       "#[substrate(cpu)]\n  ", "#[no_mangle]\n  "};
    names_.resize(constants_);
    out += "  ";
    out += kAttributes[pick(5)];
    const std::uint32_t params = pick(4);
    out += "fn " + name + "(";
    for (std::uint32_t i = 0; i < params; ++i) {
      const std::string p = "p" + std::to_string(i);
      out += (i ? ", " : "") + p + ": " + type();
      names_.push_back(p);
    }
    out += ")";
    if (pick(2)) out += " -> int";
    out += " {\n";
    budget_ = small_ ? 2 + static_cast<int>(pick(28)) : 60 + static_cast<int>(pick(200));
    text_left_ = small_ ? kTextPerFunction / 20 : kTextPerFunction;
    block(out, 2, false);
    out += "  }\n";
  }

  std::string type() {
    switch (pick(7)) {
      case 0: return "int";
      case 1: return "Float";
      case 2: return "[int]";
      case 3: return "Array<bool>";
      case 4: return "*mut Int";
      case 5: return "string";
      default: return "Vec3";
    }
  }

  // Statements until the budget or the choices say stop; names declared in
  // a block are forgotten after it.
  void block(std::string& out, int depth, bool in_loop) {
    const std::size_t visible = names_.size();
    const std::uint32_t count = 1 + pick(6);
    for (std::uint32_t i = 0; i < count && budget_left(); ++i) statement(out, depth, in_loop);
    names_.resize(visible);
  }

  void indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth) * 2, ' '); }

  void statement(std::string& out, int depth, bool in_loop) {
    indent(out, depth);
    const bool nest = depth < 8;
    switch (pick(names_.empty() ? 2 : 12)) {
      case 0:
      case 1: {
        const std::string name = "v" + std::to_string(next_name_++);
        out += "let " + name;
        if (pick(3) == 0) out += ": " + type();
        out += " = " + expr(3) + ";\n";
        names_.push_back(name);
        return;
      }
      case 2: {
        if (names_.size() == constants_) break;
        static constexpr std::string_view kOps[] = {"=", "+=", "-=", "*=", "/=", "%="};
        out += target() + " " + std::string(kOps[pick(6)]) + " " + expr(3) + ";\n";
        return;
      }
      case 3:
        if (!nest) break;
        out += "if " + condition() + " {\n";
        block(out, depth + 1, in_loop);
        indent(out, depth);
        out += "}";
        while (pick(3) == 1) {
          out += " else if " + condition() + " {\n";
          block(out, depth + 1, in_loop);
          indent(out, depth);
          out += "}";
        }
        if (pick(2)) {
          out += " else {\n";
          block(out, depth + 1, in_loop);
          indent(out, depth);
          out += "}";
        }
        out += "\n";
        return;
      case 4:
        if (!nest) break;
        out += "loop (" + expr(2) + ", " + std::string(pick(2) ? "DEFAULT_MAX_ITER()" : "10") + ") {\n";
        block(out, depth + 1, true);
        indent(out, depth);
        out += "}\n";
        return;
      case 5:
        if (!nest) break;
        out += "switch " + expr(2) + " {\n";
        for (std::uint32_t arms = 1 + pick(3); arms > 0; --arms) {
          indent(out, depth + 1);
          out += std::to_string(pick(9));
          while (pick(3) == 1) out += " | " + std::to_string(pick(9));
          out += " => {\n";
          block(out, depth + 2, in_loop);
          indent(out, depth + 1);
          out += pick(2) ? "},\n" : "}\n";
        }
        if (pick(2)) {
          indent(out, depth + 1);
          out += "_ => { barrier; }\n";
        }
        indent(out, depth);
        out += "}\n";
        return;
      case 6:
        if (in_loop) {
          out += pick(2) ? "break;\n" : "continue;\n";
          return;
        }
        break;
      case 7:
        out += "return " + expr(3) + ";\n";
        return;
      case 8:
        out += pick(2) ? "barrier(\"phase\");\n" : "barrier;\n";
        return;
      case 9:
        out += "asm(\"nop\" : \"=r\"(out) : \"r\"(" + expr(1) + ") : \"memory\");\n";
        return;
      default:
        break;
    }
    out += call(2) + ";\n";
  }

  // An if condition. One that starts with "(" is read as the parenthesised
  // form up to its ")", so such a condition is put in parentheses whole.
  std::string condition() {
    std::string e = expr(2);
    return pick(2) || e[0] == '(' ? "(" + e + ")" : e;
  }

  // An assignment target: a declared name, maybe indexed or read by field.
  std::string target() {
    const auto variables = static_cast<std::uint32_t>(names_.size() - constants_);
    std::string t = names_[constants_ + pick(variables)];
    for (std::uint32_t n = pick(3); n > 0; --n) t += pick(2) ? "[" + expr(1) + "]" : ".f";
    return t;
  }

  std::string name() { return names_.empty() ? "0" : names_[pick(static_cast<std::uint32_t>(names_.size()))]; }

  std::string literal() {
    switch (pick(8)) {
      case 0: return std::to_string(pick(1000));
      case 1: return "0x" + std::string(pick(2) ? "1F" : "7fff");
      case 2: return std::to_string(pick(100)) + "." + std::to_string(pick(100));
      case 3: return pick(2) ? "true" : "false";
      case 4: return "null";
      case 5: return "\"s\\n\\t\\\"q\\\" \\\\ /\"";
      case 6: return "-" + std::to_string(pick(50));
      default: return "\"\"";
    }
  }

  std::string call(int depth) {
    static constexpr std::string_view kUnary[] = {"sqrt", "abs", "floor", "str", "to_upper", "print"};
    static constexpr std::string_view kBinary[] = {"pow", "concat", "push", "tensor_add", "f0"};
    if (pick(2)) return std::string(kUnary[pick(6)]) + "(" + expr(depth - 1) + ")";
    return std::string(kBinary[pick(5)]) + "(" + expr(depth - 1) + ", " + expr(depth - 1) + ")";
  }

  // An expression; `depth` bounds the nesting the writer adds (parentheses,
  // lists, maps, calls), while chains may grow long at any depth.
  std::string expr(int depth) {
    std::string e = operand(depth);
    static constexpr std::string_view kOps[] = {" + ", " - ", " * ", " / ", " % ", " == ", " != ",
                                                " < ", " <= ", " > ", " >= ", " && ", " || ",
                                                " and ", " or ", " & ", " | ", " ^ ", " << ", " >> "};
    std::uint32_t terms = text_left_ > 0 ? pick(4) : 0;
    if (terms == 3 && depth >= 3 && pick(4) == 0) terms = 20 + pick(200);  // a long chain
    for (std::uint32_t i = 0; i < terms; ++i) e += std::string(kOps[pick(20)]) + operand(depth);
    return e;
  }

  std::string operand(int depth) {
    std::string e;
    bool postfix = false;  // names and lists take postfix forms
    const bool nest = depth > 0 && text_left_ > 0;
    switch (pick(nest ? 10 : 4)) {
      case 0:
      case 1: e = literal(); break;
      case 2:
      case 3:
        e = name();
        postfix = true;
        break;
      case 4: e = "(" + expr(depth - 1) + ")"; break;
      case 5: {
        // The operand of a prefix operator is never itself a prefix
        // expression (a negative literal is fine): parenthesise those.
        std::string inner = operand(depth - 1);
        const bool negative_decimal =
            inner.size() > 1 && inner[0] == '-' &&
            inner.find_first_not_of("0123456789", 1) == std::string::npos;
        if ((inner[0] == '!' || inner[0] == '-') && !negative_decimal) {
          inner = "(" + inner + ")";
        }
        e = (pick(2) ? "-" : "!") + inner;
        break;
      }
      case 6: {
        e = "[";
        for (std::uint32_t n = pick(4), i = 0; i < n; ++i) e += (i ? ", " : "") + expr(depth - 1);
        e += "]";
        postfix = true;
        break;
      }
      case 7: {
        e = "{";
        for (std::uint32_t n = pick(3), i = 0; i < n; ++i) {
          e += (i ? ", " : "") + std::string(pick(2) ? "k" : "\"a b\"") + ": " + expr(depth - 1);
        }
        e += "}";
        break;
      }
      case 8:
        e = pick(2) ? "{7: {@2: " + expr(depth - 1) + ", @0: 1}}" : call(depth);
        break;
      default:
        e = enums_ && pick(2) ? "Color.Green" : name();
        break;
    }
    // Postfix forms on names and lists.
    if (postfix) {
      for (std::uint32_t n = pick(3) == 0 ? pick(6) : 0; n > 0; --n) {
        e += pick(2) ? "[" + std::to_string(pick(3)) + "]" : ".f";
      }
    }
    text_left_ -= static_cast<long>(e.size());
    return e;
  }

  Choices& c_;
  bool small_;
  std::vector<std::string> names_;
  std::size_t constants_ = 0;  // names_ starts with the module constants
  int budget_ = 0;
  // Expression text a function may still get; once spent, expressions stay
  // small, so that nesting and chains cannot multiply into megabytes.
  static constexpr long kTextPerFunction = 20000;
  long text_left_ = 0;
  std::uint64_t next_name_ = 0;
  bool enums_ = false;
};

template <class Choices>
std::string generate_program(Choices& choices, ProgramSize size = ProgramSize::Full) {
  return ProgramGenerator<Choices>(choices, size).program();
}

}  // namespace quarn::compiler::testing
