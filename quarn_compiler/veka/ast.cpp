// Copying and dropping expression trees without recursion along chains.
//
// A chain `x + a + b + ...` or `x.f[0](a)...` nests one node inside the next
// through a single child, the spine. Recursing through it would cost one
// machine frame per term; these walk it in a loop instead and recurse only
// into the other children, which nest no deeper than the writer nested.

#include "quarn_compiler/veka/ast.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace quarn::compiler {

// ---- node arena ----------------------------------------------------------------

// Under AddressSanitizer a node's bytes are out of bounds from its release
// until they are freed with the chunk, so that a node used after it was
// dropped is caught as if it had been allocated by itself.
#if defined(__SANITIZE_ADDRESS__)
#define QUARN_NODE_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_NODE_ARENA_ASAN 1
#endif
#endif
#ifdef QUARN_NODE_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#define QUARN_NODE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QUARN_NODE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QUARN_NODE_POISON(p, n) ((void)(p), (void)(n))
#define QUARN_NODE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace node_arena {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

// Every node is preceded by the address of its chunk.
//
// A chunk's count is paid in advance for as many nodes as it could ever
// hold, plus one for the filler's hold, so that handing a node out touches
// no shared counter (an atomic add per node was a measurable share of
// parsing); the filler gives back the part it did not hand out when it
// leaves the chunk. The count reaches zero only after that, once the last
// node handed out is released.
//
// Releasing is made cheap the same way: a node released by the thread that
// is still filling its chunk (a tree dropped soon after it was read) is only
// counted in `own_released`, which that thread alone touches, and the sum
// leaves the shared count with the filler. Any other release subtracts
// from the shared count at once.
struct Chunk {
  std::atomic<std::size_t> live;       // prepaid count less what was given back and released
  std::atomic<const void*> filler;     // thread pointer of the filling thread, null once left
  std::size_t used;                    // bytes of `data` handed out (filler only)
  std::size_t handed;                  // nodes handed out (filler only)
  std::size_t own_released;            // nodes the filler released while filling (filler only)
  alignas(8) unsigned char data[kChunkBytes];
};

// Tells threads apart: the address of the calling thread's control block,
// read from a register, where looking up a thread_local variable from a
// shared object costs a call.
const void* this_thread_pointer() noexcept { return __builtin_thread_pointer(); }

constexpr std::size_t kHeader = sizeof(Chunk*);
// Nodes of at least one byte take kHeader + 8 bytes each.
constexpr std::size_t kPrepaid = kChunkBytes / (kHeader + 8) + 1;

void drop(Chunk* c, std::size_t n) noexcept {
  if (c->live.fetch_sub(n, std::memory_order_acq_rel) == n) std::free(c);
}

// The filler stops filling c: the counts prepaid for nodes never handed out,
// its hold, and the nodes it released meanwhile go back.
void leave(Chunk* c) noexcept {
  c->filler.store(nullptr, std::memory_order_relaxed);
  drop(c, kPrepaid - c->handed + c->own_released);
}

}  // namespace

// The chunk this thread fills.
struct Filler {
  Chunk* chunk = nullptr;
  ~Filler() {
    if (chunk) leave(chunk);
  }
};

namespace {
thread_local Filler filler;
}  // namespace

Filler& this_thread() { return filler; }

void* allocate(Filler& room, std::size_t size) {
  const std::size_t need = kHeader + ((size + 7) & ~std::size_t{7});
  Chunk* c = room.chunk;
  if (c == nullptr || kChunkBytes - c->used < need) {
    void* raw = std::malloc(sizeof(Chunk));
    if (raw == nullptr) throw std::bad_alloc();
    Chunk* fresh = ::new (raw) Chunk;
    fresh->live.store(kPrepaid, std::memory_order_relaxed);
    fresh->filler.store(this_thread_pointer(), std::memory_order_relaxed);
    fresh->used = 0;
    fresh->handed = 0;
    fresh->own_released = 0;
    QUARN_NODE_POISON(fresh->data, kChunkBytes);
    if (c) leave(c);
    room.chunk = c = fresh;
  }
  unsigned char* at = c->data + c->used;
  c->used += need;
  ++c->handed;
  QUARN_NODE_UNPOISON(at, kHeader + size);
  Chunk* owner = c;
  std::memcpy(at, &owner, kHeader);
  return at + kHeader;
}

void release(void* p, std::size_t size) noexcept {
  Chunk* c;
  std::memcpy(&c, static_cast<unsigned char*>(p) - kHeader, kHeader);
  QUARN_NODE_POISON(p, size);
  // Only the filler finds its own thread pointer here: another thread reads
  // either the filler's or null.
  if (c->filler.load(std::memory_order_relaxed) == this_thread_pointer()) {
    ++c->own_released;
  } else {
    drop(c, 1);
  }
}

}  // namespace node_arena

namespace {

// The tag of alternative T in Expr::Variant.
template <class T, class V = Expr::Variant>
struct TagOf;
template <class T, class... Ts>
struct TagOf<T, std::variant<Ts...>> {
  static constexpr std::size_t value = [] {
    std::size_t i = 0;
    (void)((std::is_same_v<T, Ts> ? false : (++i, true)) && ...);
    return i;
  }();
};
template <class T>
constexpr std::size_t kTag = TagOf<T>::value;

// The spine child's Box of `v`, or nullptr. A switch on the tag rather than
// std::visit: every node dropped or copied asks, and the visit is an
// indirect call through a table.
template <class Variant>
auto spine_box_of(Variant& v) -> decltype(&std::get_if<Expr::BinOp>(&v)->lhs) {
  switch (v.index()) {
    case kTag<Expr::BinOp>: return &std::get_if<Expr::BinOp>(&v)->lhs;
    case kTag<Expr::UnaryOp>: return &std::get_if<Expr::UnaryOp>(&v)->operand;
    case kTag<Expr::Call>: return &std::get_if<Expr::Call>(&v)->func;
    case kTag<Expr::Index>: return &std::get_if<Expr::Index>(&v)->object;
    case kTag<Expr::Field>: return &std::get_if<Expr::Field>(&v)->object;
    case kTag<Expr::Cast>: return &std::get_if<Expr::Cast>(&v)->expr;
    case kTag<Expr::Pipe>: return &std::get_if<Expr::Pipe>(&v)->value;
    case kTag<Expr::Collapse>: return &std::get_if<Expr::Collapse>(&v)->value;
    case kTag<Expr::Resolve>: return &std::get_if<Expr::Resolve>(&v)->target;
    default: return nullptr;
  }
}

}  // namespace

const SpannedExpr* spine_child(const Expr& e) {
  const Box<SpannedExpr>* box = spine_box_of(e.v);
  return box ? box->get() : nullptr;
}

Box<SpannedExpr>* Expr::spine_box() { return spine_box_of(v); }

namespace {

// Tags of the alternatives with a spine child: BinOp .. Resolve.
constexpr std::size_t kFirstWithSpine = kTag<Expr::BinOp>;
constexpr std::size_t kLastWithSpine = kTag<Expr::Resolve>;
static_assert(kFirstWithSpine == 4 && kLastWithSpine == 12);

bool may_have_spine(const Expr& e) {
  return e.v.index() >= kFirstWithSpine && e.v.index() <= kLastWithSpine;
}

}  // namespace

void Expr::drop_spine() noexcept {
  Box<SpannedExpr>* box = spine_box();
  if (box == nullptr || box->empty()) return;
  // A spine one node long drops as it is: nothing to unchain.
  if (!may_have_spine((*box)->node)) return;
  Box<SpannedExpr> next = std::move(*box);
  while (!next.empty()) {
    // Detach the grandchild first, so that dropping `next` is shallow along
    // the spine; its other children go with it (recursing only into them).
    Box<SpannedExpr>* below = next->node.spine_box();
    Box<SpannedExpr> after = below ? std::move(*below) : Box<SpannedExpr>();
    next = std::move(after);
  }
}

Expr::~Expr() {
  if (may_have_spine(*this)) drop_spine();
}

Expr::Expr(const Expr& other) {
  // Copy node by node down the spine: each copy takes every field but the
  // spine child, whose Box is then filled with the copy of the next node.
  const Expr* from = &other;
  Expr* to = this;
  while (true) {
    std::visit(
        [&](const auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, BinOp>) to->v.template emplace<T>(T{n.op, Box<SpannedExpr>(), n.rhs});
          else if constexpr (std::is_same_v<T, UnaryOp>) to->v.template emplace<T>(T{n.op, Box<SpannedExpr>()});
          else if constexpr (std::is_same_v<T, Call>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.args});
          else if constexpr (std::is_same_v<T, Index>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.index});
          else if constexpr (std::is_same_v<T, Field>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.field});
          else if constexpr (std::is_same_v<T, Cast>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.target_type});
          else if constexpr (std::is_same_v<T, Pipe>) to->v.template emplace<T>(T{Box<SpannedExpr>(), n.func});
          else if constexpr (std::is_same_v<T, Collapse>) to->v.template emplace<T>(T{n.names, Box<SpannedExpr>()});
          else if constexpr (std::is_same_v<T, Resolve>) to->v.template emplace<T>(T{Box<SpannedExpr>()});
          else to->v.template emplace<T>(n);
        },
        from->v);
    const SpannedExpr* child = spine_child(*from);
    if (child == nullptr) return;
    auto copy = std::make_unique<SpannedExpr>();
    copy->span = child->span;
    Expr* next = &copy->node;
    *to->spine_box() = Box<SpannedExpr>(std::move(copy));
    from = &child->node;
    to = next;
  }
}

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}

}  // namespace quarn::compiler
