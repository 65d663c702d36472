// Internal to the front end: the parser state shared by the lexical,
// expression, statement and item rules. Include parse.h instead.
//
// The rules are written once and compiled twice, by the trail they keep
// (the Trail parameter): NoTrail, whose entries compile to nothing, for the
// first reading of every text, and RecordTrail for a second reading of a text
// that failed. The rules live in lexical.inc, parse_expr.inc, parse_stmt.inc
// and parse_items.inc, compiled as one unit by parser.cpp.
//
// Conventions of every rule `St rule(size_t& p, Out& out, ...)`:
//   - p is a byte offset into the source; on Ok it is moved past what the
//     rule read, on failure it is left as it was.
//   - A failing rule leaves its entries in trail_ (innermost first). Only one
//     failure is ever in flight, so a caller that discards a failure (to try
//     another alternative, or to end a repetition) calls drop(); a caller
//     that passes it on may append its own context entries.
//   - Nesting: where the writer opens a parenthesis, bracket, brace or block,
//     the rule holds a NestingGuard for as long as it reads inside it; more
//     than kMaxNestingDepth open at once ends the parse with a hard failure.
//     Every cycle of recursion between the rules passes through a guard, so
//     the parser's own stack depth is bounded as well. Chains are read in
//     loops and open no level.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarn_compiler/veka/ast.h"
#include "quarn_compiler/veka/parse.h"
#include "quarn_core/text.h"

namespace quarn::compiler::detail {

enum class St : std::uint8_t { Ok, Soft, Hard };

inline bool failed(St s) { return s != St::Ok; }

// A failure's entries are dropped as they are made: for the first reading.
struct NoTrail {
  void push(const TrailEntry&) {}
  void clear() {}
};

// A failure's entries, innermost first: for the reading that reports it.
struct RecordTrail {
  std::vector<TrailEntry> entries;
  void push(const TrailEntry& e) { entries.push_back(e); }
  void clear() { entries.clear(); }
};

template <class Trail>
class Parser {
 public:
  // With a sink, the program block's definitions go to it as they are read
  // instead of into Program::definitions.
  explicit Parser(std::string_view src, ProgramSink* sink = nullptr);

  // ---- items (parse_items.inc) ----
  St parse_program(Program& out);
  // The definitions of a program block and its closing brace, from q (where
  // the previous definition, or the modules, ended); `out` holds the rest.
  St parse_definitions_from(size_t q, Program& out);

  // ---- failure plumbing ----
  Trail trail_;
  void drop() { trail_.clear(); }

  // (element ("," element)*)? : the first element, then one more after each
  // ',' while it parses. A soft failure ends the run (its trail dropped), so
  // the caller goes on to its closing character; a hard one is passed on.
  // `element(size_t&)` follows the rule conventions above. White space
  // before a ',' is allowed only in some runs.
  template <class Element>
  St comma_separated(size_t& q, Element&& element, bool blank_before_comma = false) {
    St st = element(q);
    if (st == St::Hard) return st;
    if (st == St::Soft) {
      drop();
      return St::Ok;
    }
    while (true) {
      const size_t comma = blank_before_comma ? skip_ws(q) : q;
      if (!at(comma, ',')) break;
      size_t s = comma + 1;
      st = element(s);
      if (st == St::Hard) return st;
      if (st == St::Soft) {
        drop();
        break;
      }
      q = s;
    }
    return St::Ok;
  }
  St fail_char(size_t pos, char32_t c) {
    trail_.push(TrailEntry::expected_char(pos, c));
    return St::Soft;
  }
  St fail_kind(size_t pos, PrimitiveKind k) {
    trail_.push(TrailEntry::primitive_kind(pos, k));
    return St::Soft;
  }
  St add_label(St st, size_t pos, std::string_view label) {
    trail_.push(TrailEntry::context(pos, label));
    return st;
  }
  // A failure that no alternative may recover from, marked with `label`.
  St hard(size_t pos, std::string_view label) {
    trail_.push(TrailEntry::context(pos, label));
    return St::Hard;
  }
  // Soft or hard, the failure becomes hard and carries `label`.
  St cut(St st, size_t pos, std::string_view label) {
    trail_.push(TrailEntry::context(pos, label));
    (void)st;
    return St::Hard;
  }

  // Counts `levels` open nesting levels for as long as it lives.
  class NestingGuard {
   public:
    explicit NestingGuard(Parser& p, std::uint32_t levels = 1) : p_(p), levels_(levels) {
      p_.nesting_ += levels_;
    }
    ~NestingGuard() { p_.nesting_ -= levels_; }
    bool exceeded() const { return p_.nesting_ > kMaxNestingDepth; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

   private:
    Parser& p_;
    std::uint32_t levels_;
  };

  // The level opened at pos is one too many: hard failure there.
  St too_deep(size_t pos) { return hard(pos, kNestingTooDeepLabel); }

  // ---- lexical (lexical.inc) ----
  // Most calls stand at a token already, most others at the one blank
  // between two tokens; the rest go to skip_ws_run.
  [[gnu::always_inline]] size_t skip_ws(size_t p) {
    if (is_token_byte(p)) return p;
    if (p < src_.size() && src_[p] == ' ' && is_token_byte(p + 1)) return p + 1;
    return skip_ws_run(p);
  }
  bool is_token_byte(size_t p) const {
    return p < src_.size() && static_cast<unsigned char>(src_[p]) > ' ' && src_[p] != '/';
  }
  size_t skip_ws_run(size_t p);
  [[gnu::always_inline]] bool at(size_t p, char c) const { return p < src_.size() && src_[p] == c; }
  // `word` is never empty; the first character is compared inline, as most
  // tries fail there.
  [[gnu::always_inline]] bool starts_with(size_t p, std::string_view word) const {
    return src_.size() - p >= word.size() && src_[p] == word[0] &&
           std::char_traits<char>::compare(src_.data() + p + 1, word.data() + 1, word.size() - 1) == 0;
  }

  // A position with the line and column of a span starting there, taken as
  // the parser passes it: a cursor counts lines and characters up to it.
  struct Mark {
    size_t at;
    std::uint32_t line, col;
  };
  [[gnu::always_inline]] Mark mark(size_t pos) {
    // Mostly the cursor passes a few bytes of one line, all ASCII: then the
    // column grows by their number, which two words of the text tell at
    // once. Any other move goes to mark_far.
    if constexpr (std::endian::native == std::endian::little) {
      if (pos >= cursor_ && pos - cursor_ <= 16 && src_.size() - cursor_ >= 16) {
        const size_t n = pos - cursor_;
        std::uint64_t first, second;
        std::memcpy(&first, src_.data() + cursor_, 8);
        std::memcpy(&second, src_.data() + cursor_ + 8, 8);
        if (n < 8) {
          first &= (std::uint64_t{1} << (8 * n)) - 1;
          second = 0;
        } else if (n < 16) {
          second &= (std::uint64_t{1} << (8 * (n - 8))) - 1;
        }
        if (plain_ascii(first) && plain_ascii(second)) {
          cursor_ = pos;
          line_chars_ += n;
          return Mark{pos, line_, static_cast<std::uint32_t>(line_chars_ + 1)};
        }
      }
    }
    return mark_far(pos);
  }
  Mark mark_far(size_t pos);
  // Each byte of a word, and the high bit of each byte.
  static constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  // No byte of `w` is a line feed or beyond ASCII (a zero byte is neither).
  static bool plain_ascii(std::uint64_t w) {
    const std::uint64_t lf = w ^ (kOnes * '\n');  // zero bytes where w has a line feed
    return ((((lf - kOnes) & ~lf) | w) & kHighs) == 0;
  }
  // The first n (1..8) bytes of w, little-endian, passed by the cursor, as
  // count() would pass them one by one; bytes of w past n are zero.
  static void count_word(std::uint64_t w, size_t n, std::uint32_t& line, size_t& chars) {
    if (plain_ascii(w)) {
      chars += n;
      return;
    }
    // The high bit of each byte that is a line feed (exact: no carry crosses
    // a byte), and of each byte that continues a UTF-8 sequence.
    const std::uint64_t x = w ^ (kOnes * '\n');
    const std::uint64_t feeds = ~(((x & ~kHighs) + ~kHighs) | x) & kHighs;
    const std::uint64_t continuing = core::continuation_marks(w);
    if (feeds == 0) {
      chars += n - core::count_marked_bytes(continuing);
      return;
    }
    line += static_cast<std::uint32_t>(core::count_marked_bytes(feeds));
    const int last = (63 - std::countl_zero(feeds)) / 8;  // the last line feed's byte
    const std::uint64_t after = last == 7 ? 0 : ~std::uint64_t{0} << (8 * (last + 1));
    chars = n - 1 - static_cast<size_t>(last) - core::count_marked_bytes(continuing & after);
  }
  // One byte passed by the cursor. Columns count characters: the bytes of a
  // line that do not continue a UTF-8 sequence.
  static void count(unsigned char c, std::uint32_t& line, size_t& chars) {
    if (c == '\n') {
      ++line;
      chars = 0;
    } else {
      chars += (c & 0xC0) != 0x80;
    }
  }
  static Span span(const Mark& m, size_t end) { return Span{m.at, end, m.line, m.col}; }

  // An identifier that is no reserved word: p moves past it.
  St parse_name(size_t& p);
  St parse_identifier(size_t& p, std::string& out);
  St parse_identifier_span(size_t& p, std::string& out, Span& sp);
  St parse_literal(size_t& p, Expr& out);
  St parse_string_literal(size_t& p, std::string& out);
  St parse_type(size_t& p, Type& out);
  // Skips whitespace, then a type; `sp` covers the type text.
  St parse_type_span(size_t& p, Type& out, Span& sp);
  // Unsigned decimal digits (at least one) at p, saturating at max+1 so any
  // value above `max` is recognisable without overflow.
  bool parse_small_number(size_t& p, std::uint64_t max, std::uint64_t& out) const;

  St parse_keyword(size_t& p, std::string_view word, Span& sp);
  St expect_symbol(size_t& p, std::string_view label, char ch);
  St labelled_tag(size_t& p, std::string_view label, std::string_view text);
  // A plain character after whitespace; soft failure when absent.
  St plain_char(size_t& p, char ch);
  // An identifier after whitespace whose failure is hard with `label`.
  St hard_name(size_t& p, std::string_view label, std::string& out, Span* sp = nullptr);

  // ---- expressions (parse_expr.inc) ----
  St parse_expression(size_t& p, Expr& out) { return parse_binary(p, 1, out, mark(p)); }
  St parse_postfix(size_t& p, Expr& out);
  // Skips whitespace, then a full expression; the span starts after the
  // whitespace (elements, arguments, field and entry values).
  St parse_spanned_expression(size_t& p, SpannedExpr& out);
  // A full expression entered at p itself, so that its operand spans start
  // before the whitespace; its own span starts after it (statement parts).
  St parse_entered_expression(size_t& p, SpannedExpr& out);

  // ---- statements (parse_stmt.inc) ----
  // `before` marks p, where the statement's white space begins.
  St parse_statement(size_t& p, Stmt& out, const Mark& before);
  St parse_statement_list(size_t& p, std::vector<SpannedStmt>& out);
  // The statement list of a block nested in a statement: one level deeper.
  St parse_nested_statements(size_t& p, std::vector<SpannedStmt>& out);

 private:
  // expressions
  // Levels min_level..8 from p; `entry` is mark(p), taken by a caller that
  // marks a later position first.
  St parse_binary(size_t& p, int min_level, Expr& out, const Mark& entry);
  // The operator loop, with the first operand read into `cur` (from
  // cur_start to q).
  St parse_binary_rest(size_t& q, int min_level, Expr& cur, Mark cur_start);
  St parse_unary(size_t& p, Expr& out);
  St parse_primary(size_t& p, Expr& out);
  St parse_postfix_form(size_t r, Expr& cur, size_t& end);
  St parse_leaf(size_t r, bool identifier, size_t& p, Expr& out);
  St parse_bracket_list(size_t& p, Expr& out);
  St parse_contract(size_t& p, Expr& out);
  St parse_brace_map(size_t& p, Expr& out);
  St parse_object_key(size_t& p, std::string& out);
  St parse_call_args(size_t& p, std::vector<SpannedExpr>& out);

  // statements
  St parse_let(size_t& p, Stmt& out);
  St parse_return(size_t& p, Stmt& out);
  St parse_if(size_t& p, Stmt& out);
  St parse_if_rest(size_t& p, Span if_span, Stmt& out);
  St parse_condition(size_t& p, SpannedExpr& out);
  St parse_loop(size_t& p, Stmt& out);
  template <class Jump>
  St parse_jump(size_t& p, Stmt& out);
  St parse_barrier(size_t& p, Stmt& out);
  St parse_switch(size_t& p, Stmt& out);
  St parse_switch_arm(size_t& p, SwitchArm& out);
  // With `label`, a target that no assignment operator follows goes on as
  // the first operand of an expression statement, and *label says which
  // form failed.
  St parse_assignment(size_t& p, Stmt& out, const Mark& before, std::string_view* label);
  St parse_asm(size_t& p, Stmt& out);
  // A full expression that must be there: failure is hard with `label`.
  St required_expression(size_t& p, std::string_view label, SpannedExpr& out);

  // items
  St parse_import(size_t& p, Import& out);
  St parse_program_block(size_t& p, Program& out);
  St parse_module(size_t& p, Module& out);
  St parse_capabilities(size_t& p, std::optional<std::vector<std::string>>& out);
  St parse_const(size_t& p, ConstDecl& out);
  St parse_struct(size_t& p, StructDecl& out);
  St parse_enum(size_t& p, EnumDecl& out);
  St parse_definition(size_t& p, FunctionDef& out, bool& exported);
  St parse_attributes(size_t& p, std::vector<std::string>& out);
  St parse_attribute(size_t& p, std::string& out);
  St parse_function(size_t& p, FunctionDef& out);
  St parse_block(size_t& p, FunctionDef& out);
  St parse_param(size_t& p, Param& out);
  St parse_body(size_t& p, std::string_view open_label, std::string_view close_label,
                std::vector<SpannedStmt>& out);

  // An operator of parse_binary waiting for its right operand, its left
  // operand boxed with its span. The waiting operators of every parse_binary
  // call in progress share one stack, each call above the entries of the
  // calls it is nested in, so that reading an operator allocates nothing
  // once the stack has grown.
  struct PendingOperator {
    Box<SpannedExpr> lhs;
    Mark lhs_start;
    BinaryOperator op;
    int level;
    Mark rhs_start;
  };
  std::vector<PendingOperator> pending_;

  // A child node in the node arena, built straight from `e` (one move).
  Box<SpannedExpr> boxed(Expr&& e, Span sp) { return Box<SpannedExpr>::in_arena_of(nodes_, std::move(e), sp); }

  // Converts to what `make` returns, made where the conversion's result goes
  // (handed to become, in the node's alternative, without a move).
  template <class F>
  struct Made {
    F make;
    operator decltype(std::declval<const F&>()())() const { return make(); }  // NOLINT
  };
  template <class F>
  Made(F) -> Made<F>;  // spelled out for compilers without aggregate deduction
  // Makes `node` hold a T built from `args`, in its place. A compiler that
  // cannot build an aggregate from parentheses gets it built from braces and
  // moved in. A T made from nothing is default-initialised: every form the
  // parser makes so initialises each of its members itself, while a
  // value-initialised one would have all its bytes cleared first (a few
  // hundred for a statement form).
  template <class T, class Node, class... Args>
  static T& become(Node& node, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      return node.v.template emplace<T>(Made{[] {
        T made;
        return made;
      }});
    } else if constexpr (std::is_constructible_v<T, Args&&...>) {
      return node.v.template emplace<T>(std::forward<Args>(args)...);
    } else {
      return node.v.template emplace<T>(T{std::forward<Args>(args)...});
    }
  }

  // Lists are reserved for as many items as the last of their kind at the
  // same nesting level held (up to 64): neighbouring lists of a level tend
  // to be alike, so most are read without their items moving as they grow.
  class ListHints {
   public:
    template <class List>
    void reserve(const Parser& p, List& list) const {
      if (const size_t n = sizes_[std::min<std::uint32_t>(p.nesting_, kLevels - 1)]) list.reserve(n);
    }
    void note(const Parser& p, size_t n) {
      sizes_[std::min<std::uint32_t>(p.nesting_, kLevels - 1)] = static_cast<std::uint8_t>(std::min<size_t>(n, 64));
    }

   private:
    static constexpr std::uint32_t kLevels = 32;
    std::uint8_t sizes_[kLevels] = {};
  };
  ListHints statement_hints_, expression_hints_, param_hints_, arm_hints_, pattern_hints_;

  std::string_view src_;
  // The cursor of mark(): every byte before cursor_ is counted.
  size_t cursor_ = 0;
  size_t line_chars_ = 0;  // characters from the start of the line to cursor_
  std::uint32_t line_ = 1;
  // The calling thread's arena, looked up once per parse rather than per
  // node: a thread's own variable costs a call when this is a shared object.
  node_arena::Filler& nodes_ = node_arena::this_thread();
  ProgramSink* sink_ = nullptr;
  std::uint32_t nesting_ = 0;
  // skip_ws is asked about the same offset many times while alternatives are
  // tried from one position; remember the last answer.
  size_t ws_from_ = static_cast<size_t>(-1);
  size_t ws_to_ = 0;

 public:
  static constexpr Span kNoSpan{};
};

}  // namespace quarn::compiler::detail
