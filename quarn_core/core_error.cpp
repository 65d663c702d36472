#include "quarn_core/core_error.h"

#include "quarn_core/text.h"

#include <iterator>
#include <utility>

namespace quarn::core {
namespace {

enum class Payload { NONE, TEXT, TEXT_TEXT, U8, U32, U64, U64_U64 };

struct Row {
  std::string_view name;
  Payload payload;
  std::string_view before;   // after "CODE: ", before the first payload
  std::string_view between;  // between the first payload and the second
};

constexpr Row kRows[] = {
#define QUARN_CORE_ERROR(Code, factory, P, before, between) {#Code, Payload::P, before, between},
#include "quarn_core/core_errors.def"
};
static_assert(std::size(kRows) == kCoreErrorCodeCount);

}  // namespace

std::string_view code_name(CoreErrorCode code) {
  auto i = static_cast<std::size_t>(code);
  // Not a declared code: only a corrupted value gets here.
  return i < std::size(kRows) ? kRows[i].name : "E_UNKNOWN";
}

#define QUARN_CORE_ERROR_STORE_NONE
#define QUARN_CORE_ERROR_STORE_TEXT e.text_ = std::move(text);
#define QUARN_CORE_ERROR_STORE_TEXT_TEXT \
  e.text_ = std::move(text);             \
  e.text2_ = std::move(text2);
#define QUARN_CORE_ERROR_STORE_U8 e.first_ = first;
#define QUARN_CORE_ERROR_STORE_U32 e.first_ = first;
#define QUARN_CORE_ERROR_STORE_U64 e.first_ = first;
#define QUARN_CORE_ERROR_STORE_U64_U64 \
  e.first_ = first;                    \
  e.second_ = second;
#define QUARN_CORE_ERROR(Code, factory, Payload, before, between)   \
  CoreError CoreError::factory(QUARN_CORE_ERROR_PARAMS_##Payload) { \
    CoreError e(CoreErrorCode::Code);                                \
    QUARN_CORE_ERROR_STORE_##Payload return e;                       \
  }
#include "quarn_core/core_errors.def"

std::string CoreError::message() const {
  const auto i = static_cast<std::size_t>(code_);
  if (i >= std::size(kRows)) return "E_UNKNOWN: ";
  const Row& row = kRows[i];
  std::string out(row.name);
  out += ": ";
  out += row.before;
  switch (row.payload) {
    case Payload::NONE:
      break;
    case Payload::TEXT:
      out += text_;
      break;
    case Payload::TEXT_TEXT:
      out += text_;
      out += row.between;
      out += text2_;
      break;
    case Payload::U8:
    case Payload::U32:
    case Payload::U64:
      append_decimal(out, first_);
      break;
    case Payload::U64_U64:
      append_decimal(out, first_);
      out += row.between;
      append_decimal(out, second_);
      break;
  }
  return out;
}

}  // namespace quarn::core
