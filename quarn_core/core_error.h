// CoreError: the coded error shared by parsing, lowering and the run-time
// vocabulary of the language. Each kind has a fixed code; every message starts
// with that code and a colon, followed by the kind's template with its payload
// written in (texts as they are, integers in plain decimal).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarn::core {

// Declaration order is the kinds' order; keep it.
enum class CoreErrorCode : std::uint8_t {
  E_PARSE_ERROR,
  E_LC_PARSE,
  E_LC_BINARY_DECODE,
  E_TYPE_ERROR,
  E_FLOAT_SPECIAL,
  E_DEPTH_EXCEEDED,
  E_FIELD_ORDER,
  E_CONTRACT_STRUCTURE,
  E_HANDLE_INVALID,
  E_HANDLE_UNRESOLVED,
  E_HANDLE_NOT_FOUND,
  E_CRATE_INVALID,
  E_CRATE_VERSION,
  E_VALIDATION_FAIL,
  E_CANONICALIZATION_FAIL,
  E_REGISTER_INVALID,
  E_DIVISION_BY_ZERO,
  E_INDEX_OUT_OF_BOUNDS,
  E_BACKEND_ERROR,
  E_ENV_PAYLOAD_HASH_MISMATCH,
  E_ENV_MANIFEST_INVALID,
};

inline constexpr int kCoreErrorCodeCount = 21;

// "E_PARSE_ERROR" for CoreErrorCode::E_PARSE_ERROR, and so on.
std::string_view code_name(CoreErrorCode code);

class CoreError {
 public:
  // One factory per kind, named after its code; the error owns its texts.
  static CoreError parse_error(std::string text);
  static CoreError lc_parse(std::uint64_t position);
  static CoreError lc_binary_decode(std::string text);
  static CoreError type_error(std::string expected, std::string got);
  static CoreError float_special();
  static CoreError depth_exceeded(std::uint64_t depth, std::uint64_t maximum);
  static CoreError field_order();
  static CoreError contract_structure(std::string text);
  static CoreError handle_invalid(std::string text);
  static CoreError handle_unresolved(std::string text);
  static CoreError handle_not_found(std::string text);
  static CoreError crate_invalid();
  static CoreError crate_version(std::uint8_t version);
  static CoreError validation_fail(std::string text);
  static CoreError canonicalization_fail(std::string text);
  static CoreError register_invalid(std::uint32_t reg);
  static CoreError division_by_zero();
  static CoreError index_out_of_bounds(std::uint64_t index, std::uint64_t length);
  static CoreError backend_error(std::string text);
  static CoreError env_payload_hash_mismatch();
  static CoreError env_manifest_invalid();

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
  // The kinds whose payload is one text.
  static CoreError with_text(CoreErrorCode code, std::string text);

  CoreErrorCode code_;
  std::string text_;
  std::string text2_;
  std::uint64_t first_ = 0;
  std::uint64_t second_ = 0;
};

}  // namespace quarn::core
