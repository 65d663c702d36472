#include "quarn_core/core_error.h"

#include <charconv>
#include <utility>

namespace quarn::core {
namespace {

std::string decimal(std::uint64_t n) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  (void)ec;  // 24 bytes hold any u64
  return std::string(buf, end);
}

}  // namespace

std::string_view code_name(CoreErrorCode code) {
  switch (code) {
    case CoreErrorCode::E_PARSE_ERROR: return "E_PARSE_ERROR";
    case CoreErrorCode::E_LC_PARSE: return "E_LC_PARSE";
    case CoreErrorCode::E_LC_BINARY_DECODE: return "E_LC_BINARY_DECODE";
    case CoreErrorCode::E_TYPE_ERROR: return "E_TYPE_ERROR";
    case CoreErrorCode::E_FLOAT_SPECIAL: return "E_FLOAT_SPECIAL";
    case CoreErrorCode::E_DEPTH_EXCEEDED: return "E_DEPTH_EXCEEDED";
    case CoreErrorCode::E_FIELD_ORDER: return "E_FIELD_ORDER";
    case CoreErrorCode::E_CONTRACT_STRUCTURE: return "E_CONTRACT_STRUCTURE";
    case CoreErrorCode::E_HANDLE_INVALID: return "E_HANDLE_INVALID";
    case CoreErrorCode::E_HANDLE_UNRESOLVED: return "E_HANDLE_UNRESOLVED";
    case CoreErrorCode::E_HANDLE_NOT_FOUND: return "E_HANDLE_NOT_FOUND";
    case CoreErrorCode::E_CRATE_INVALID: return "E_CRATE_INVALID";
    case CoreErrorCode::E_CRATE_VERSION: return "E_CRATE_VERSION";
    case CoreErrorCode::E_VALIDATION_FAIL: return "E_VALIDATION_FAIL";
    case CoreErrorCode::E_CANONICALIZATION_FAIL: return "E_CANONICALIZATION_FAIL";
    case CoreErrorCode::E_REGISTER_INVALID: return "E_REGISTER_INVALID";
    case CoreErrorCode::E_DIVISION_BY_ZERO: return "E_DIVISION_BY_ZERO";
    case CoreErrorCode::E_INDEX_OUT_OF_BOUNDS: return "E_INDEX_OUT_OF_BOUNDS";
    case CoreErrorCode::E_BACKEND_ERROR: return "E_BACKEND_ERROR";
    case CoreErrorCode::E_ENV_PAYLOAD_HASH_MISMATCH: return "E_ENV_PAYLOAD_HASH_MISMATCH";
    case CoreErrorCode::E_ENV_MANIFEST_INVALID: return "E_ENV_MANIFEST_INVALID";
  }
  return "E_UNKNOWN";  // not a declared code: only a corrupted value gets here
}

// --- factories -------------------------------------------------------------

CoreError CoreError::with_text(CoreErrorCode code, std::string text) {
  CoreError e(code);
  e.text_ = std::move(text);
  return e;
}
CoreError CoreError::parse_error(std::string text) {
  return with_text(CoreErrorCode::E_PARSE_ERROR, std::move(text));
}
CoreError CoreError::lc_parse(std::uint64_t position) {
  CoreError e(CoreErrorCode::E_LC_PARSE);
  e.first_ = position;
  return e;
}
CoreError CoreError::lc_binary_decode(std::string text) {
  return with_text(CoreErrorCode::E_LC_BINARY_DECODE, std::move(text));
}
CoreError CoreError::type_error(std::string expected, std::string got) {
  CoreError e(CoreErrorCode::E_TYPE_ERROR);
  e.text_ = std::move(expected);
  e.text2_ = std::move(got);
  return e;
}
CoreError CoreError::float_special() { return CoreError(CoreErrorCode::E_FLOAT_SPECIAL); }
CoreError CoreError::depth_exceeded(std::uint64_t depth, std::uint64_t maximum) {
  CoreError e(CoreErrorCode::E_DEPTH_EXCEEDED);
  e.first_ = depth;
  e.second_ = maximum;
  return e;
}
CoreError CoreError::field_order() { return CoreError(CoreErrorCode::E_FIELD_ORDER); }
CoreError CoreError::contract_structure(std::string text) {
  return with_text(CoreErrorCode::E_CONTRACT_STRUCTURE, std::move(text));
}
CoreError CoreError::handle_invalid(std::string text) {
  return with_text(CoreErrorCode::E_HANDLE_INVALID, std::move(text));
}
CoreError CoreError::handle_unresolved(std::string text) {
  return with_text(CoreErrorCode::E_HANDLE_UNRESOLVED, std::move(text));
}
CoreError CoreError::handle_not_found(std::string text) {
  return with_text(CoreErrorCode::E_HANDLE_NOT_FOUND, std::move(text));
}
CoreError CoreError::crate_invalid() { return CoreError(CoreErrorCode::E_CRATE_INVALID); }
CoreError CoreError::crate_version(std::uint8_t version) {
  CoreError e(CoreErrorCode::E_CRATE_VERSION);
  e.first_ = version;
  return e;
}
CoreError CoreError::validation_fail(std::string text) {
  return with_text(CoreErrorCode::E_VALIDATION_FAIL, std::move(text));
}
CoreError CoreError::canonicalization_fail(std::string text) {
  return with_text(CoreErrorCode::E_CANONICALIZATION_FAIL, std::move(text));
}
CoreError CoreError::register_invalid(std::uint32_t reg) {
  CoreError e(CoreErrorCode::E_REGISTER_INVALID);
  e.first_ = reg;
  return e;
}
CoreError CoreError::division_by_zero() { return CoreError(CoreErrorCode::E_DIVISION_BY_ZERO); }
CoreError CoreError::index_out_of_bounds(std::uint64_t index, std::uint64_t length) {
  CoreError e(CoreErrorCode::E_INDEX_OUT_OF_BOUNDS);
  e.first_ = index;
  e.second_ = length;
  return e;
}
CoreError CoreError::backend_error(std::string text) {
  return with_text(CoreErrorCode::E_BACKEND_ERROR, std::move(text));
}
CoreError CoreError::env_payload_hash_mismatch() {
  return CoreError(CoreErrorCode::E_ENV_PAYLOAD_HASH_MISMATCH);
}
CoreError CoreError::env_manifest_invalid() {
  return CoreError(CoreErrorCode::E_ENV_MANIFEST_INVALID);
}

// --- message ---------------------------------------------------------------

// One case per code and no default: -Wswitch names any code left without a
// template.
std::string CoreError::message() const {
  switch (code_) {
    case CoreErrorCode::E_PARSE_ERROR:
      return "E_PARSE_ERROR: " + text_;
    case CoreErrorCode::E_LC_PARSE:
      return "E_LC_PARSE: Invalid LC-T syntax at position " + decimal(first_);
    case CoreErrorCode::E_LC_BINARY_DECODE:
      return "E_LC_BINARY_DECODE: Invalid LC-B encoding: " + text_;
    case CoreErrorCode::E_TYPE_ERROR:
      return "E_TYPE_ERROR: Expected " + text_ + ", got " + text2_;
    case CoreErrorCode::E_FLOAT_SPECIAL:
      return "E_FLOAT_SPECIAL: NaN or Infinity not allowed";
    case CoreErrorCode::E_DEPTH_EXCEEDED:
      return "E_DEPTH_EXCEEDED: Nesting depth " + decimal(first_) + " exceeds maximum " +
             decimal(second_);
    case CoreErrorCode::E_FIELD_ORDER:
      return "E_FIELD_ORDER: Fields must be in ascending order by index";
    case CoreErrorCode::E_CONTRACT_STRUCTURE:
      return "E_CONTRACT_STRUCTURE: Invalid contract structure: " + text_;
    case CoreErrorCode::E_HANDLE_INVALID:
      return "E_HANDLE_INVALID: Invalid handle format: " + text_;
    case CoreErrorCode::E_HANDLE_UNRESOLVED:
      return "E_HANDLE_UNRESOLVED: Handle requires runtime resolution: " + text_;
    case CoreErrorCode::E_HANDLE_NOT_FOUND:
      return "E_HANDLE_NOT_FOUND: Handle not found: " + text_;
    case CoreErrorCode::E_CRATE_INVALID:
      return "E_CRATE_INVALID: Crate integrity check failed";
    case CoreErrorCode::E_CRATE_VERSION:
      return "E_CRATE_VERSION: Unsupported crate version " + decimal(first_);
    case CoreErrorCode::E_VALIDATION_FAIL:
      return "E_VALIDATION_FAIL: " + text_;
    case CoreErrorCode::E_CANONICALIZATION_FAIL:
      return "E_CANONICALIZATION_FAIL: Cannot canonicalize: " + text_;
    case CoreErrorCode::E_REGISTER_INVALID:
      return "E_REGISTER_INVALID: Invalid register " + decimal(first_);
    case CoreErrorCode::E_DIVISION_BY_ZERO:
      return "E_DIVISION_BY_ZERO: Division by zero";
    case CoreErrorCode::E_INDEX_OUT_OF_BOUNDS:
      return "E_INDEX_OUT_OF_BOUNDS: Index " + decimal(first_) + " out of bounds for length " +
             decimal(second_);
    case CoreErrorCode::E_BACKEND_ERROR:
      return "E_BACKEND_ERROR: " + text_;
    case CoreErrorCode::E_ENV_PAYLOAD_HASH_MISMATCH:
      return "E_ENV_PAYLOAD_HASH_MISMATCH: Merkle root mismatch";
    case CoreErrorCode::E_ENV_MANIFEST_INVALID:
      return "E_ENV_MANIFEST_INVALID: Invalid LC_12 manifest";
  }
  return std::string(code_name(code_)) + ": ";  // unreachable for declared codes
}

}  // namespace quarn::core
