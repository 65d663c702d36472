// CoreError: the coded error shared by parsing, lowering and the run-time
// vocabulary of the language. Each kind has a fixed code; every message starts
// with that code and a colon, followed by the kind's template with its payload
// written in (texts as they are, integers in plain decimal).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarn::core {

// One code per row of core_errors.def, in its order.
enum class CoreErrorCode : std::uint8_t {
#define QUARN_CORE_ERROR(Code, factory, Payload, before, between) Code,
#include "quarn_core/core_errors.def"
};

inline constexpr int kCoreErrorCodeCount = 0
#define QUARN_CORE_ERROR(Code, factory, Payload, before, between) +1
#include "quarn_core/core_errors.def"
    ;

// "E_PARSE_ERROR" for CoreErrorCode::E_PARSE_ERROR, and so on.
std::string_view code_name(CoreErrorCode code);

class CoreError {
 public:
  // One factory per kind, named after its code; the error owns its texts.
  // Payload parameters in template order: texts first (`expected`, `got`),
  // integers as `first`, `second` (see core_errors.def for their meaning).
#define QUARN_CORE_ERROR_PARAMS_NONE
#define QUARN_CORE_ERROR_PARAMS_TEXT std::string text
#define QUARN_CORE_ERROR_PARAMS_TEXT_TEXT std::string text, std::string text2
#define QUARN_CORE_ERROR_PARAMS_U8 std::uint8_t first
#define QUARN_CORE_ERROR_PARAMS_U32 std::uint32_t first
#define QUARN_CORE_ERROR_PARAMS_U64 std::uint64_t first
#define QUARN_CORE_ERROR_PARAMS_U64_U64 std::uint64_t first, std::uint64_t second
#define QUARN_CORE_ERROR(Code, factory, Payload, before, between) \
  static CoreError factory(QUARN_CORE_ERROR_PARAMS_##Payload);
#include "quarn_core/core_errors.def"

  CoreErrorCode code() const { return code_; }

  // The full message, e.g. "E_VALIDATION_FAIL: Undefined: x". Nothing is
  // added before or after the template (no period, no line break).
  std::string message() const;

  // Payload access. text() is the first text payload (the only one for most
  // kinds, `expected` for E_TYPE_ERROR), text2() the second (`got`); first()
  // and second() the integer payloads in template order. Unused ones are
  // empty / zero.
  const std::string& text() const { return text_; }
  const std::string& text2() const { return text2_; }
  std::uint64_t first() const { return first_; }
  std::uint64_t second() const { return second_; }

  friend bool operator==(const CoreError&, const CoreError&) = default;

 private:
  explicit CoreError(CoreErrorCode code) : code_(code) {}

  CoreErrorCode code_;
  std::string text_;
  std::string text2_;
  std::uint64_t first_ = 0;
  std::uint64_t second_ = 0;
};

}  // namespace quarn::core
