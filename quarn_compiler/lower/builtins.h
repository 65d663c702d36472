// The builtin functions of the language, written down once: every name a call
// may use, what it lowers to, how many arguments it takes and the message given
// when the count is wrong. Call lowering, the arity tests and anything else that
// needs to know about builtins read this table and nothing else.
#pragma once

#include "quarn_core/instruction.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace quarn::compiler {

// How a builtin call turns into instructions. `dst` is always allocated after
// every argument has been lowered.
enum class Lowering : std::uint8_t {
  Direct,       // one instruction: dst, then the argument registers in order
  Format,       // FormatString: dst, template = first argument, args = the rest
  Alloc,        // AllocArray: dst, size, element type from the `let` type hint
  TwoResults,   // ArrPop/ArrShift into r, r+1, then ArrayCreate dst [r, r+1]
  Print,        // one Print per argument, then LoadConst Null into dst
  PrintStr,     // PrintStr of the argument, then LoadConst Null into dst
  RuntimeCall,  // Call carrying the runtime name, max_depth 1000
};

inline constexpr std::uint8_t kAnyCount = 0xFF;

struct Arity {
  std::uint8_t min;
  std::uint8_t max;  // kAnyCount: no upper bound
  constexpr bool accepts(std::size_t n) const {
    return n >= min && (max == kAnyCount || n <= max);
  }
};

inline constexpr Arity exactly(std::uint8_t n) { return {n, n}; }
inline constexpr Arity kAtLeastOne{1, kAnyCount};
inline constexpr Arity kAny{0, kAnyCount};

struct Builtin {
  std::array<std::string_view, 3> names;  // the first is canonical; unused slots empty
  Lowering lowering;
  core::Opcode opcode;            // the instruction of Direct/Format/Alloc/TwoResults
  std::string_view runtime_name;  // RuntimeCall only
  Arity arity;
  std::string_view arity_message;  // empty when the count is not checked
};

using core::Opcode;
using enum Lowering;

// Keep the rows grouped as they are documented to users: maths, tensors and
// images, conversions, files, strings, arrays, output, runtime calls.
inline constexpr Builtin kBuiltins[] = {
    // Mathematics.
    {{"sqrt"}, Direct, Opcode::Sqrt, {}, exactly(1), "sqrt takes 1 argument"},
    {{"pow"}, Direct, Opcode::Pow, {}, exactly(2), "pow takes 2 arguments"},
    {{"sin"}, Direct, Opcode::Sin, {}, exactly(1), "sin takes 1 argument"},
    {{"cos"}, Direct, Opcode::Cos, {}, exactly(1), "cos takes 1 argument"},
    {{"tan"}, Direct, Opcode::Tan, {}, exactly(1), "tan takes 1 argument"},
    {{"log"}, Direct, Opcode::Log, {}, exactly(1), "log takes 1 argument"},
    {{"exp"}, Direct, Opcode::Exp, {}, exactly(1), "exp takes 1 argument"},
    {{"floor"}, Direct, Opcode::Floor, {}, exactly(1), "floor takes 1 argument"},
    {{"ceil"}, Direct, Opcode::Ceil, {}, exactly(1), "ceil takes 1 argument"},
    {{"round"}, Direct, Opcode::Round, {}, exactly(1), "round takes 1 argument"},
    {{"abs"}, Direct, Opcode::Abs, {}, exactly(1), "abs takes 1 argument"},
    // Tensors and images.
    {{"tensor_matmul"}, Direct, Opcode::MatMul, {}, exactly(2), "tensor_matmul takes 2 args"},
    {{"tensor"}, Direct, Opcode::TensorFromData, {}, exactly(2),
     "tensor takes 2 arguments (data, shape)"},
    {{"gaussian_blur", "blur"}, Direct, Opcode::GaussianBlur, {}, exactly(2),
     "gaussian_blur takes 2 arguments (image, sigma)"},
    {{"sobel_edges", "edge_detect"}, Direct, Opcode::SobelEdges, {}, exactly(2),
     "sobel_edges takes 2 arguments (image, threshold)"},
    {{"grayscale"}, Direct, Opcode::Grayscale, {}, exactly(1), "grayscale takes 1 argument"},
    {{"threshold"}, Direct, Opcode::Threshold, {}, exactly(2),
     "threshold takes 2 arguments (image, value)"},
    {{"brightness"}, Direct, Opcode::Brightness, {}, exactly(2),
     "brightness takes 2 arguments (image, factor)"},
    {{"contrast"}, Direct, Opcode::Contrast, {}, exactly(2),
     "contrast takes 2 arguments (image, factor)"},
    {{"invert_colors", "invert"}, Direct, Opcode::InvertColors, {}, exactly(1),
     "invert_colors takes 1 argument"},
    {{"sharpen"}, Direct, Opcode::Sharpen, {}, exactly(1), "sharpen takes 1 argument"},
    // Conversions, text formats and regular expressions.
    {{"parse_int", "to_int"}, Direct, Opcode::ParseInt, {}, exactly(1),
     "parse_int takes 1 argument"},
    {{"parse_float", "to_float"}, Direct, Opcode::ParseFloat, {}, exactly(1),
     "parse_float takes 1 argument"},
    {{"json_serialize", "to_json"}, Direct, Opcode::JsonSerialize, {}, exactly(1),
     "json_serialize takes 1 argument"},
    {{"csv_parse", "parse_csv"}, Direct, Opcode::CsvParse, {}, exactly(2),
     "csv_parse takes 2 arguments (string, delimiter)"},
    {{"format", "format_string"}, Format, Opcode::FormatString, {}, kAtLeastOne,
     "format takes at least 1 argument"},
    {{"regex_match"}, Direct, Opcode::RegexMatch, {}, exactly(2),
     "regex_match takes 2 arguments (string, pattern)"},
    {{"regex_replace"}, Direct, Opcode::RegexReplace, {}, exactly(3),
     "regex_replace takes 3 arguments (string, pattern, replacement)"},
    // Input, files, JSON, CSV and image files.
    {{"read_line", "readline"}, Direct, Opcode::ReadLine, {}, exactly(0),
     "read_line takes no arguments"},
    {{"append_file"}, Direct, Opcode::AppendFile, {}, exactly(2),
     "append_file takes 2 arguments (path, content)"},
    {{"file_exists", "exists"}, Direct, Opcode::FileExists, {}, exactly(1),
     "file_exists takes 1 argument"},
    {{"delete_file", "remove_file"}, Direct, Opcode::DeleteFile, {}, exactly(1),
     "delete_file takes 1 argument"},
    {{"list_files", "list_dir"}, Direct, Opcode::ListFiles, {}, exactly(1),
     "list_files takes 1 argument"},
    {{"create_dir", "mkdir"}, Direct, Opcode::CreateDir, {}, exactly(1),
     "create_dir takes 1 argument"},
    {{"delete_dir", "remove_dir", "rmdir"}, Direct, Opcode::DeleteDir, {}, exactly(1),
     "delete_dir takes 1 argument"},
    {{"read_json"}, Direct, Opcode::ReadJson, {}, exactly(1), "read_json takes 1 argument"},
    {{"write_json"}, Direct, Opcode::WriteJson, {}, exactly(2),
     "write_json takes 2 arguments (path, value)"},
    {{"read_csv"}, Direct, Opcode::ReadCsv, {}, exactly(2),
     "read_csv takes 2 arguments (path, delimiter)"},
    {{"write_csv"}, Direct, Opcode::WriteCsv, {}, exactly(3),
     "write_csv takes 3 arguments (path, data, delimiter)"},
    {{"load_image"}, Direct, Opcode::LoadImage, {}, exactly(1),
     "load_image takes 1 argument (path)"},
    {{"save_image"}, Direct, Opcode::SaveImage, {}, exactly(2),
     "save_image takes 2 arguments (tensor, path)"},
    {{"alloc_array"}, Alloc, Opcode::AllocArray, {}, exactly(1),
     "alloc_array takes exactly 1 argument"},
    // Strings.
    {{"concat", "str_concat"}, Direct, Opcode::StrConcat, {}, exactly(2),
     "concat takes 2 arguments"},
    {{"str_len"}, Direct, Opcode::StrLen, {}, exactly(1), "strlen takes 1 argument"},
    {{"substring"}, Direct, Opcode::Substring, {}, exactly(3), "substring takes 3 arguments"},
    {{"index_of"}, Direct, Opcode::IndexOf, {}, exactly(2), "index_of takes 2 arguments"},
    {{"replace", "str_replace"}, Direct, Opcode::StrReplace, {}, exactly(3),
     "replace takes 3 arguments"},
    {{"split"}, Direct, Opcode::Split, {}, exactly(2), "split takes 2 arguments"},
    {{"join"}, Direct, Opcode::Join, {}, exactly(2), "join takes 2 arguments"},
    {{"to_upper"}, Direct, Opcode::ToUpper, {}, exactly(1), "to_upper takes 1 argument"},
    {{"to_lower"}, Direct, Opcode::ToLower, {}, exactly(1), "to_lower takes 1 argument"},
    {{"trim"}, Direct, Opcode::Trim, {}, exactly(1), "trim takes 1 argument"},
    {{"starts_with"}, Direct, Opcode::StartsWith, {}, exactly(2),
     "starts_with takes 2 arguments"},
    {{"ends_with"}, Direct, Opcode::EndsWith, {}, exactly(2), "ends_with takes 2 arguments"},
    {{"repeat", "str_repeat"}, Direct, Opcode::StrRepeat, {}, exactly(2),
     "repeat takes 2 arguments"},
    {{"str_reverse"}, Direct, Opcode::StrReverse, {}, exactly(1),
     "str_reverse takes 1 argument"},
    {{"char_at"}, Direct, Opcode::CharAt, {}, exactly(2), "char_at takes 2 arguments"},
    // Arrays.
    {{"push", "arr_push"}, Direct, Opcode::ArrPush, {}, exactly(2), "push takes 2 arguments"},
    {{"pop", "arr_pop"}, TwoResults, Opcode::ArrPop, {}, exactly(1), "pop takes 1 argument"},
    {{"shift", "arr_shift"}, TwoResults, Opcode::ArrShift, {}, exactly(1),
     "shift takes 1 argument"},
    {{"unshift", "arr_unshift"}, Direct, Opcode::ArrUnshift, {}, exactly(2),
     "unshift takes 2 arguments"},
    {{"slice", "arr_slice"}, Direct, Opcode::ArrSlice, {}, exactly(3),
     "slice takes 3 arguments"},
    {{"arr_concat"}, Direct, Opcode::ArrConcat, {}, exactly(2), "arr_concat takes 2 arguments"},
    {{"reverse", "arr_reverse"}, Direct, Opcode::ArrReverse, {}, exactly(1),
     "reverse takes 1 argument"},
    {{"sort", "arr_sort"}, Direct, Opcode::ArrSort, {}, exactly(1), "sort takes 1 argument"},
    {{"find", "arr_find"}, Direct, Opcode::ArrFind, {}, exactly(2), "find takes 2 arguments"},
    // Output.
    {{"print"}, Print, Opcode::Print, {}, kAny, {}},
    {{"print_str"}, PrintStr, Opcode::PrintStr, {}, exactly(1),
     "print_str takes exactly 1 argument"},
    // Calls the runtime implements under its own names.
    {{"fopen"}, RuntimeCall, Opcode::Call, "fopen", exactly(2), "fopen takes 2 arguments"},
    {{"fclose"}, RuntimeCall, Opcode::Call, "fclose", exactly(1), "fclose takes 1 argument"},
    {{"fread"}, RuntimeCall, Opcode::Call, "fread", exactly(4), "fread takes 4 arguments"},
    {{"fwrite"}, RuntimeCall, Opcode::Call, "fwrite", exactly(4), "fwrite takes 4 arguments"},
    {{"fseek"}, RuntimeCall, Opcode::Call, "fseek", exactly(3), "fseek takes 3 arguments"},
    {{"ftell"}, RuntimeCall, Opcode::Call, "ftell", exactly(1), "ftell takes 1 argument"},
    {{"strlen"}, RuntimeCall, Opcode::Call, "strlen", exactly(1),
     "strlen takes exactly 1 argument"},
    {{"str", "to_string"}, RuntimeCall, Opcode::Call, "str", exactly(1),
     "str/to_string takes exactly 1 argument"},
    {{"hash_logic"}, RuntimeCall, Opcode::Call, "hash_logic", exactly(1),
     "hash_logic takes exactly 1 argument"},
    {{"verify_parity"}, RuntimeCall, Opcode::Call, "verify_parity", exactly(1),
     "verify_parity takes exactly 1 argument"},
    {{"tensor_add"}, RuntimeCall, Opcode::Call, "__vek_tensor_add", exactly(2),
     "tensor_add takes 2 args"},
    {{"tensor_transpose"}, RuntimeCall, Opcode::Call, "__vek_tensor_transpose", exactly(1),
     "tensor_transpose takes 1 arg"},
    {{"tensor_new_2d"}, RuntimeCall, Opcode::Call, "__vek_tensor_create", exactly(2),
     "tensor_new_2d takes 2 args"},
    {{"sdl_init"}, RuntimeCall, Opcode::Call, "SDL_Init", kAny, {}},
    {{"sdl_quit"}, RuntimeCall, Opcode::Call, "SDL_Quit", kAny, {}},
    {{"sdl_poll"}, RuntimeCall, Opcode::Call, "SDL_PollEvent", kAny, {}},
    {{"sdl_clear"}, RuntimeCall, Opcode::Call, "SDL_RenderClear", kAny, {}},
    {{"sdl_delay"}, RuntimeCall, Opcode::Call, "SDL_Delay", kAny, {}},
    {{"sdl_present"}, RuntimeCall, Opcode::Call, "SDL_RenderPresent", kAny, {}},
    {{"sdl_set_color"}, RuntimeCall, Opcode::Call, "SDL_SetRenderDrawColor", kAny, {}},
    {{"sdl_create_window"}, RuntimeCall, Opcode::Call, "SDL_CreateWindow", kAny, {}},
    {{"sdl_create_renderer"}, RuntimeCall, Opcode::Call, "SDL_CreateRenderer", kAny, {}},
};

// The row that answers to `name`, or std::size(kBuiltins) when none does: a
// linear search for the compile-time checks below. Call lowering goes through
// find_builtin, which indexes the same rows. An index rather than a pointer:
// with the sanitizers on, g++ will not compare a table address with null at
// compile time.
constexpr std::size_t builtin_row_linear(std::string_view name) {
  for (std::size_t row = 0; row < std::size(kBuiltins); ++row) {
    for (const std::string_view& n : kBuiltins[row].names) {
      if (!n.empty() && n == name) return row;
    }
  }
  return std::size(kBuiltins);
}

constexpr bool is_builtin_name(std::string_view name) {
  return builtin_row_linear(name) != std::size(kBuiltins);
}

constexpr bool builtin_names_are_unique() {
  for (std::size_t row = 0; row < std::size(kBuiltins); ++row) {
    for (const std::string_view& n : kBuiltins[row].names) {
      if (!n.empty() && builtin_row_linear(n) != row) return false;
    }
  }
  return true;
}
static_assert(builtin_names_are_unique(), "a builtin name appears twice");

constexpr bool builtin_rows_are_well_formed() {
  for (const Builtin& b : kBuiltins) {
    if (b.names[0].empty()) return false;
    const bool checked = !(b.arity.min == 0 && b.arity.max == kAnyCount);
    if (checked == b.arity_message.empty()) return false;
    if ((b.lowering == RuntimeCall) == b.runtime_name.empty()) return false;
  }
  return true;
}
static_assert(builtin_rows_are_well_formed(), "a builtin row is missing a name or message");

// The row for `name`, or nullptr when the call is a user call. Matching is
// exact and case-sensitive.
const Builtin* find_builtin(std::string_view name);

// The instruction `op` with its register fields filled in order from dst and
// then args: the form of every Direct row.
// REQUIRES: op has exactly 1 + args.size() fields, all u32.
core::Instruction make_register_instruction(core::Opcode op, core::Reg dst,
                                            std::span<const core::Reg> args);

}  // namespace quarn::compiler
