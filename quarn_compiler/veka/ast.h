// Syntax tree of Quarn source text: expressions, statements, literals, type
// annotations and the top-level items (program, module, constants, structs,
// enums, function and block definitions).
//
// Usage:
//   auto parsed = parse_source(text);               // parse.h
//   const Program& p = parsed.value();
//   for (const FunctionDef& f : p.definitions)
//     for (const Spanned<Stmt>& s : f.body)
//       if (const auto* let = s.node.as<Stmt::Let>()) walk(let->value);
//   render(expr)                                    // one-line debug text
//
// Every node owns its children (Box<T> is a never-null owning pointer that
// copies deeply); there is no sharing and no back pointer, so copying a node
// copies its subtree. Variants are nested structs held in a std::variant `v`
// whose alternatives are in the order of their tags; `as<T>()` / `is<T>()`
// are shorthands for std::get_if / std::holds_alternative.
//
// Depth: a chain (`a + b + c`, `a.b[0](x) as T`) is a deep tree, but only
// along one child per node, its spine (spine_child below). Walkers follow the
// spine in a loop and recurse only into the other children; on those paths a
// tree built by parse_source nests no deeper than a small multiple of
// kMaxNestingDepth (see below). Copying and dropping an Expr do the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <type_traits>
#include <variant>
#include <vector>

namespace quarn::compiler {

// Bound on what the writer nests: brackets, parentheses, braces and blocks
// (and the `*` of a pointer type), counted from inside a definition's body,
// a constant's value or a type annotation. 200 nested parentheses or `if`
// blocks are accepted, 201 are a parse failure. Chains at one level are not
// nesting: `a + a + ... + a` of any length is at level 0.
//
// What this bounds for walkers: below one level, a path that avoids spine
// children passes at most the right operands of the eight binary levels
// and one prefix operand, so recursion over non-spine children stays within
// about ten frames per level, a few thousand in all: within a 1 MiB stack.
inline constexpr std::uint32_t kMaxNestingDepth = 200;

// A source range: byte offsets [start, end) into the whole text; line and col
// (counted from 1; col in characters) of `start`. line == 0 marks a span that
// carries no position (the children of postfix forms).
struct Span {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint32_t line = 0;
  std::uint32_t col = 0;

  bool has_position() const { return line != 0; }
  friend bool operator==(const Span&, const Span&) = default;
};

// Storage for the nodes the parser makes: a node is carved from a 64 KiB
// chunk of the calling thread instead of being allocated by itself, and its
// chunk is freed when the last node in it is gone (each chunk counts its
// live nodes; the thread holds one count on the chunk it is filling). Nodes
// may outlive the parse and be released on any thread, one at a time or all
// at once, like any other node.
namespace node_arena {
// The chunk the calling thread fills. A caller that makes many nodes in a
// row on one thread looks it up once and passes it to allocate: finding a
// thread's own variable costs a call into the runtime per look-up when
// this code is loaded as a shared object.
struct Filler;
Filler& this_thread();
// Room for `size` bytes (at most kMaxNode, alignment 8 or less).
// REQUIRES: `filler` is the calling thread's.
void* allocate(Filler& filler, std::size_t size);
inline void* allocate(std::size_t size) { return allocate(this_thread(), size); }
// Gives back what allocate(size) returned; the object in it is already
// destroyed.
void release(void* p, std::size_t size) noexcept;
inline constexpr std::size_t kMaxNode = 1024;
}  // namespace node_arena

// Owning pointer to exactly one T. Copying copies the pointee. Only a
// moved-from Box is empty. The pointee lives on the heap, or in the node
// arena when the parser made it (Box::in_arena); the low bit of the stored
// address tells which.
template <class T>
class Box {
 public:
  explicit Box(T value) : p_(reinterpret_cast<std::uintptr_t>(new T(std::move(value)))) {}
  explicit Box(std::unique_ptr<T> p) : p_(reinterpret_cast<std::uintptr_t>(p.release())) {}
  Box(const Box& o) : p_(reinterpret_cast<std::uintptr_t>(new T(*o))) {}
  Box(Box&& o) noexcept : p_(std::exchange(o.p_, 0)) {}
  Box& operator=(const Box& o) {
    if (this != &o) reset(reinterpret_cast<std::uintptr_t>(new T(*o)));
    return *this;
  }
  Box& operator=(Box&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, 0));
    return *this;
  }
  ~Box() { reset(0); }

  // A T built from `args` (braced) in the node arena.
  template <class... Args>
  static Box in_arena(Args&&... args) {
    return in_arena_of(node_arena::this_thread(), std::forward<Args>(args)...);
  }
  // The same, with the calling thread's filler at hand.
  template <class... Args>
  static Box in_arena_of(node_arena::Filler& filler, Args&&... args) {
    static_assert(sizeof(T) <= node_arena::kMaxNode && alignof(T) <= 8);
    void* mem = node_arena::allocate(filler, sizeof(T));
    T* t;
    try {
      t = new (mem) T{std::forward<Args>(args)...};
    } catch (...) {
      node_arena::release(mem, sizeof(T));
      throw;
    }
    Box b;
    b.p_ = reinterpret_cast<std::uintptr_t>(t) | kArenaBit;
    return b;
  }

  T& operator*() { return *get(); }
  const T& operator*() const { return *get(); }
  T* operator->() { return get(); }
  const T* operator->() const { return get(); }
  T* get() { return reinterpret_cast<T*>(p_ & ~kArenaBit); }
  const T* get() const { return reinterpret_cast<const T*>(p_ & ~kArenaBit); }

 private:
  friend struct Expr;
  static constexpr std::uintptr_t kArenaBit = 1;
  // Only Expr makes or leaves an empty Box, while it copies or drops a chain
  // one node at a time; no empty Box is ever seen outside it.
  Box() = default;
  bool empty() const { return p_ == 0; }

  // Takes `next` (already detached from its former owner), then drops the
  // old pointee: the old one may own what `next` came from.
  void reset(std::uintptr_t next) noexcept {
    std::uintptr_t old = std::exchange(p_, next);
    if (old == 0) return;
    T* t = reinterpret_cast<T*>(old & ~kArenaBit);
    if (old & kArenaBit) {
      t->~T();
      node_arena::release(t, sizeof(T));
    } else {
      delete t;
    }
  }

  std::uintptr_t p_ = 0;
};

// A node with the source range it was parsed from.
//
// The constructors are written out, and so are Stmt's, because g++ makes
// such a pair from braces by clearing all of its bytes first and then
// setting the members: some 300 bytes per statement, on the parser's
// hottest path. A constructor of the class's own builds the members alone.
template <class T>
struct Spanned {
  T node;
  Span span;

  Spanned() {}  // NOLINT: user-provided on purpose (see above)
  // `node` made from `form` (a T, or one of its alternatives) in its place.
  template <class Form>
    requires(!std::is_same_v<std::remove_cvref_t<Form>, Spanned>)
  explicit Spanned(Form&& form) : node(std::forward<Form>(form)) {}
  template <class Form>
  Spanned(Form&& form, Span at) : node(std::forward<Form>(form)), span(at) {}
};

struct Expr;
struct Stmt;
using SpannedExpr = Spanned<Expr>;
using SpannedStmt = Spanned<Stmt>;

// The (key, value) pairs of brace maps, contract literals and asm inputs,
// defined once Expr is complete. Named records rather than std::pair: pair's
// constructor traits cannot be computed while Expr is still incomplete.
struct ObjectEntry;
struct ContractField;
struct AsmInput;

// Declaration order is the tag order.
enum class BinaryOperator : std::uint8_t {
  Add, Sub, Mul, Div, Mod,
  Eq, Ne, Lt, Le, Gt, Ge,
  And, Or,
  BitAnd, BitOr, BitXor, Shl, Shr,
};

enum class UnaryOperator : std::uint8_t { Neg, Not };

// Type annotation.
struct Type {
  struct Int {};
  struct Float {};
  struct String {};
  struct Bool {};
  struct Array { Box<Type> element; };
  struct Pointer { Box<Type> target; };  // `const` / `mut` are not kept
  struct Named { std::string name; };
  std::variant<Int, Float, String, Bool, Array, Pointer, Named> v;

  template <class T> bool is() const { return std::holds_alternative<T>(v); }
  template <class T> const T* as() const { return std::get_if<T>(&v); }
  template <class T> T* as() { return std::get_if<T>(&v); }
};

// Literal value. The parser only produces Null, Bool, Int, Float and String;
// bracket and brace literals become Expr::Array / Expr::Object.
struct Literal {
  struct Null {};
  struct Bool { bool value; };
  struct Int { std::int64_t value; };
  struct Float { double value; };
  struct String { std::string value; };
  struct Array { std::vector<SpannedExpr> elements; };
  struct Object { std::vector<ObjectEntry> entries; };
  std::variant<Null, Bool, Int, Float, String, Array, Object> v;

  template <class T> bool is() const { return std::holds_alternative<T>(v); }
  template <class T> const T* as() const { return std::get_if<T>(&v); }
  template <class T> T* as() { return std::get_if<T>(&v); }
};

// Expression node. Pipe, Collapse, Resolve, Snapshot, Transaction and Handle
// are never produced by the parser.
struct Expr {
  struct Literal { compiler::Literal value; };
  struct Ident { std::string name; };
  struct Array { std::vector<SpannedExpr> elements; };
  struct Object { std::vector<ObjectEntry> entries; };
  struct BinOp {
    BinaryOperator op;
    Box<SpannedExpr> lhs;
    Box<SpannedExpr> rhs;
  };
  struct UnaryOp {
    UnaryOperator op;
    Box<SpannedExpr> operand;
  };
  struct Call {
    Box<SpannedExpr> func;
    std::vector<SpannedExpr> args;
  };
  struct Index {
    Box<SpannedExpr> object;
    Box<SpannedExpr> index;
  };
  struct Field {
    Box<SpannedExpr> object;
    std::string field;
  };
  struct Cast {
    Box<SpannedExpr> expr;
    Type target_type;
  };
  struct Pipe {
    Box<SpannedExpr> value;
    Box<SpannedExpr> func;
  };
  struct Collapse {
    // The two names sit behind one pointer: the form is never parsed, and
    // held in place they would set the size of every expression node.
    struct Names {
      std::string table;
      std::string namespace_;  // `namespace` in the debug text
    };
    Box<Names> names;
    Box<SpannedExpr> value;
  };
  struct Resolve { Box<SpannedExpr> target; };
  struct Snapshot {};
  struct Transaction { std::vector<SpannedStmt> body; };
  struct Handle { std::string name; };
  struct Contract {
    std::uint16_t id;
    std::vector<ContractField> fields;
  };

  using Variant = std::variant<Literal, Ident, Array, Object, BinOp, UnaryOp, Call, Index,
                               Field, Cast, Pipe, Collapse, Resolve, Snapshot, Transaction,
                               Handle, Contract>;
  Variant v;

  Expr() = default;
  template <class Alt>
    requires(!std::is_same_v<std::decay_t<Alt>, Expr>)
  Expr(Alt&& alt) : v(std::forward<Alt>(alt)) {}  // NOLINT: Expr{Expr::Ident{...}}
  // Copying and dropping walk the spine in a loop (see spine_child).
  Expr(const Expr& other);
  Expr(Expr&&) noexcept = default;
  Expr& operator=(const Expr& other);
  Expr& operator=(Expr&&) noexcept = default;
  ~Expr();

  template <class T> bool is() const { return std::holds_alternative<T>(v); }
  template <class T> const T* as() const { return std::get_if<T>(&v); }
  template <class T> T* as() { return std::get_if<T>(&v); }

 private:
  // The spine child's Box of this node, or nullptr when it has none.
  Box<SpannedExpr>* spine_box();
  // Releases the spine below this node one node at a time.
  void drop_spine() noexcept;
};

// The child through which chains grow: the left operand of BinOp, the operand
// of UnaryOp, the callee of Call, the object of Index and Field, the value of
// Cast, Pipe and Collapse, the target of Resolve. Null for other nodes. A
// chain of any length is a path of spine children; every other child of a
// node is either a leaf or something the writer nested.
const SpannedExpr* spine_child(const Expr& e);

struct ObjectEntry {
  std::string key;  // may be empty when written in quotes
  SpannedExpr value;
};

struct ContractField {
  std::uint8_t index;
  SpannedExpr value;
};

struct AsmInput {
  std::string constraint;
  SpannedExpr value;
};

struct SwitchArm {
  std::vector<SpannedExpr> patterns;
  std::vector<SpannedStmt> body;
};

// Statement node. Local is never produced by the parser. Keyword spans cover
// the keyword token alone; the parser sets them whenever the keyword was
// written, but consumers must accept their absence.
struct Stmt {
  struct Let {
    std::optional<Span> keyword_span;
    std::string name;
    std::optional<Span> name_span;
    std::optional<Type> type_annotation;
    std::optional<Span> type_span;
    SpannedExpr value;
  };
  struct Local {
    std::optional<Span> keyword_span;
    std::string name;
    std::optional<Span> name_span;
    SpannedExpr value;
  };
  struct Assign {
    SpannedExpr lhs;
    SpannedExpr value;
  };
  struct Return {
    std::optional<Span> keyword_span;
    SpannedExpr value;
  };
  struct If {
    std::optional<Span> if_keyword_span;
    SpannedExpr condition;
    std::vector<SpannedStmt> then_branch;
    std::optional<Span> else_keyword_span;
    std::optional<std::vector<SpannedStmt>> else_branch;
  };
  struct While {
    std::optional<Span> loop_keyword_span;
    SpannedExpr condition;
    std::vector<SpannedStmt> body;
    std::uint32_t max_iter = 0;
  };
  struct Break {};
  struct Continue {};
  struct Expr { SpannedExpr expr; };  // expression statement
  struct Asm {
    std::string template_;  // `template` in the debug text
    std::vector<std::pair<std::string, std::string>> outputs;
    std::vector<AsmInput> inputs;
    std::vector<std::string> clobbers;
  };
  struct Barrier {
    std::optional<std::string> name;
    std::optional<Span> keyword_span;
  };
  struct Switch {
    std::optional<Span> keyword_span;
    SpannedExpr expr;
    std::vector<SwitchArm> arms;
  };

  std::variant<Let, Local, Assign, Return, If, While, Break, Continue, Expr,
               Asm, Barrier, Switch>
      v;

  Stmt() {}  // NOLINT: user-provided on purpose (see Spanned)
  template <class Alt>
    requires(!std::is_same_v<std::decay_t<Alt>, Stmt>)
  Stmt(Alt&& alt) : v(std::forward<Alt>(alt)) {}  // NOLINT: Stmt{Stmt::Let{...}}

  template <class T> bool is() const { return std::holds_alternative<T>(v); }
  template <class T> const T* as() const { return std::get_if<T>(&v); }
  template <class T> T* as() { return std::get_if<T>(&v); }
};

// ---- Top-level items -------------------------------------------------------

struct ImportName {
  std::string name;
  std::optional<std::string> alias;  // never set by the parser
};

struct Import {
  std::vector<ImportName> names;
  std::string path;
  std::optional<std::string> alias;  // never set by the parser
  Span span;                         // `import` to just past the `;`
};

struct Param {
  std::string name;
  Span name_span;
  Type type;
  Span type_span;
};

// A function or block definition. A block is a FunctionDef without params,
// return type or name span; nothing else marks it.
struct FunctionDef {
  std::vector<std::string> attributes;  // e.g. "scale(4)", "inline"
  std::string name;
  std::optional<Span> name_span;
  std::vector<Param> params;
  std::optional<Type> return_type;
  std::optional<Span> return_type_span;
  std::vector<SpannedStmt> body;
};

struct ConstDecl {
  std::string name;
  Type type;
  Expr value;
};

struct StructDecl {
  std::string name;
  std::vector<std::pair<std::string, Type>> fields;
};

struct EnumDecl {
  std::string name;
  std::vector<std::string> variants;
};

struct Module {
  std::string name;
  std::optional<std::vector<std::string>> capabilities;
  std::vector<ConstDecl> constants;
  std::vector<StructDecl> structs;
  std::vector<EnumDecl> enums;
  std::vector<FunctionDef> functions;
  std::vector<std::string> exports;  // names of definitions written `export`
};

// Result of a successful parse. For a bare module, `name` is the module's name
// and `modules` holds just it.
struct Program {
  std::string name;
  std::vector<Import> imports;
  std::vector<Module> modules;
  std::vector<FunctionDef> definitions;
};

// ---- Debug rendering -------------------------------------------------------
// One line each, e.g. `BinOp { op: Add, lhs: Spanned { node: Literal(Int(1)),
// span: Span { start: 0, end: 1, line: 1, col: 1 } }, rhs: ... }`. Boxes are
// invisible; optionals print as Some(..)/None. The lowering quotes these texts
// in messages, so their form is fixed.
std::string render(const Span& span);
std::string render(const Spanned<Expr>& e);
std::string render(const Spanned<Stmt>& s);
std::string render(const Expr& e);
std::string render(const Literal& l);
std::string render(BinaryOperator op);
std::string render(UnaryOperator op);
std::string render(const Type& t);
std::string render(const Stmt& s);
std::string render(const SwitchArm& arm);
// The same texts appended to `out`, for callers that gather many of them.
void render_to(std::string& out, const Spanned<Stmt>& s);
void render_to(std::string& out, const Type& t);
// Appends render(e) to `out` and answers the first span written there that
// has a place in the source (line above 0), or nothing: the position a
// message quoting the node points at.
std::optional<Span> render_noting_position(std::string& out, const Expr& e);

}  // namespace quarn::compiler
