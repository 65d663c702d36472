#include "quarn_core/core_error.h"

#include <gtest/gtest.h>

namespace quarn::core {
namespace {

TEST(CoreError, EveryMessageTemplate) {
  const std::pair<CoreError, const char*> kCases[] = {
      {CoreError::parse_error("at 1:1"), "E_PARSE_ERROR: at 1:1"},
      {CoreError::lc_parse(17), "E_LC_PARSE: Invalid LC-T syntax at position 17"},
      {CoreError::lc_binary_decode("short"), "E_LC_BINARY_DECODE: Invalid LC-B encoding: short"},
      {CoreError::type_error("int", "string"), "E_TYPE_ERROR: Expected int, got string"},
      {CoreError::float_special(), "E_FLOAT_SPECIAL: NaN or Infinity not allowed"},
      {CoreError::depth_exceeded(1001, 1000),
       "E_DEPTH_EXCEEDED: Nesting depth 1001 exceeds maximum 1000"},
      {CoreError::field_order(), "E_FIELD_ORDER: Fields must be in ascending order by index"},
      {CoreError::contract_structure("x"), "E_CONTRACT_STRUCTURE: Invalid contract structure: x"},
      {CoreError::handle_invalid("h"), "E_HANDLE_INVALID: Invalid handle format: h"},
      {CoreError::handle_unresolved("h"),
       "E_HANDLE_UNRESOLVED: Handle requires runtime resolution: h"},
      {CoreError::handle_not_found("h"), "E_HANDLE_NOT_FOUND: Handle not found: h"},
      {CoreError::crate_invalid(), "E_CRATE_INVALID: Crate integrity check failed"},
      {CoreError::crate_version(0), "E_CRATE_VERSION: Unsupported crate version 0"},
      {CoreError::validation_fail("Undefined: x"), "E_VALIDATION_FAIL: Undefined: x"},
      {CoreError::canonicalization_fail("y"), "E_CANONICALIZATION_FAIL: Cannot canonicalize: y"},
      {CoreError::register_invalid(4294967295u), "E_REGISTER_INVALID: Invalid register 4294967295"},
      {CoreError::division_by_zero(), "E_DIVISION_BY_ZERO: Division by zero"},
      {CoreError::index_out_of_bounds(5, 3),
       "E_INDEX_OUT_OF_BOUNDS: Index 5 out of bounds for length 3"},
      {CoreError::backend_error("gpu"), "E_BACKEND_ERROR: gpu"},
      {CoreError::env_payload_hash_mismatch(), "E_ENV_PAYLOAD_HASH_MISMATCH: Merkle root mismatch"},
      {CoreError::env_manifest_invalid(), "E_ENV_MANIFEST_INVALID: Invalid LC_12 manifest"},
  };
  static_assert(std::size(kCases) == kCoreErrorCodeCount);
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    const auto& [error, message] = kCases[i];
    // The cases are listed in declaration order: each sits at its own code.
    EXPECT_EQ(static_cast<std::size_t>(error.code()), i) << message;
    EXPECT_EQ(error.message(), message);
    std::string_view name = code_name(error.code());
    EXPECT_EQ(std::string_view(message).substr(0, name.size() + 2), std::string(name) + ": ");
  }
}

TEST(CoreError, NamesComeFromTheTable) {
  EXPECT_EQ(code_name(CoreErrorCode::E_PARSE_ERROR), "E_PARSE_ERROR");
  EXPECT_EQ(code_name(CoreErrorCode::E_ENV_MANIFEST_INVALID), "E_ENV_MANIFEST_INVALID");
  EXPECT_EQ(static_cast<int>(CoreErrorCode::E_ENV_MANIFEST_INVALID), kCoreErrorCodeCount - 1);
  // A value outside the table (only a corrupted one) still has a name.
  EXPECT_EQ(code_name(static_cast<CoreErrorCode>(kCoreErrorCodeCount)), "E_UNKNOWN");
}

TEST(CoreError, PayloadsWrittenAsGiven) {
  EXPECT_EQ(CoreError::validation_fail("").message(), "E_VALIDATION_FAIL: ");
  EXPECT_EQ(CoreError::parse_error("a\nb\n\n").message(), "E_PARSE_ERROR: a\nb\n\n");
  EXPECT_EQ(CoreError::crate_version(255).message(), "E_CRATE_VERSION: Unsupported crate version 255");
  EXPECT_EQ(CoreError::lc_parse(18446744073709551615ull).message(),
            "E_LC_PARSE: Invalid LC-T syntax at position 18446744073709551615");
  EXPECT_EQ(CoreError::type_error("", "").message(), "E_TYPE_ERROR: Expected , got ");
  EXPECT_EQ(CoreError::validation_fail("x"), CoreError::validation_fail("x"));
  EXPECT_FALSE(CoreError::validation_fail("x") == CoreError::backend_error("x"));
}

}  // namespace
}  // namespace quarn::core
