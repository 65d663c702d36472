#include "quarn_core/disassemble.h"

#include "quarn_core/text.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace quarn::core {
namespace {

void append_float(std::string& out, double f) {
  if (std::isnan(f)) {
    out += "NaN";
    return;
  }
  if (std::isinf(f)) {
    out += f < 0 ? "-inf" : "inf";
    return;
  }
  char buf[40];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f);
  (void)ec;
  std::string_view digits(buf, static_cast<std::size_t>(end - buf));
  out += digits;
  // "2" would read as an integer: make it "2.0".
  if (digits.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

std::string_view type_kind_name(TypeKind kind) {
  switch (kind) {
    case TypeKind::Kind0: return "Kind0";
    case TypeKind::Float: return "Float";
    case TypeKind::Kind2: return "Kind2";
    case TypeKind::Int: return "Int";
    case TypeKind::Bool: return "Bool";
    case TypeKind::Array: return "Array";
  }
  return "?";
}

void append_type(std::string& out, const BytecodeType& t) {
  for (std::uint64_t i = 0; i < t.array_depth(); ++i) out += "Array(";
  out += type_kind_name(t.base());
  out.append(static_cast<std::size_t>(t.array_depth()), ')');
}

// Values nest to any depth: rendered from a work list of pending values and
// pending punctuation.
struct Pending {
  const Value* value;        // null: emit `text` only
  std::string_view text;     // punctuation
  const std::string* key;    // Object entry key to print first
  int index;                 // Contract field index to print first, or -1
};

void append_value(std::string& out, const Value& root) {
  std::vector<Pending> work{{&root, {}, nullptr, -1}};
  while (!work.empty()) {
    Pending p = work.back();
    work.pop_back();
    if (!p.value) {
      out += p.text;
      continue;
    }
    if (p.key) {
      append_quoted(out, *p.key);
      out += ": ";
    }
    if (p.index >= 0) {
      append_decimal(out, static_cast<std::uint64_t>(p.index));
      out += ": ";
    }
    const Value& v = *p.value;
    switch (v.kind()) {
      case ValueKind::Null:
        out += "Null";
        break;
      case ValueKind::Bool:
        out += v.as_bool() ? "Bool(true)" : "Bool(false)";
        break;
      case ValueKind::Int:
        out += "Int(";
        append_decimal(out, v.as_int());
        out += ')';
        break;
      case ValueKind::Float:
        out += "Float(";
        append_float(out, v.as_float());
        out += ')';
        break;
      case ValueKind::String:
        out += "String(";
        append_quoted(out, v.as_text());
        out += ')';
        break;
      case ValueKind::Handle:
        out += "Handle(";
        append_quoted(out, v.as_text());
        out += ')';
        break;
      case ValueKind::Array: {
        out += "Array[";
        work.push_back({nullptr, "]", nullptr, -1});
        const auto& items = v.as_array();
        for (std::size_t i = items.size(); i-- > 0;) {
          work.push_back({&items[i], {}, nullptr, -1});
          if (i > 0) work.push_back({nullptr, ", ", nullptr, -1});
        }
        break;
      }
      case ValueKind::Object: {
        out += "Object{";
        work.push_back({nullptr, "}", nullptr, -1});
        const auto& entries = v.as_object();
        for (std::size_t i = entries.size(); i-- > 0;) {
          work.push_back({&entries[i].value, {}, &entries[i].key, -1});
          if (i > 0) work.push_back({nullptr, ", ", nullptr, -1});
        }
        break;
      }
      case ValueKind::Contract: {
        out += "Contract(";
        append_decimal(out, std::uint64_t{v.contract_id()});
        out += "){";
        work.push_back({nullptr, "}", nullptr, -1});
        const auto& fields = v.contract_fields();
        for (std::size_t i = fields.size(); i-- > 0;) {
          work.push_back({&fields[i].value, {}, nullptr, fields[i].index});
          if (i > 0) work.push_back({nullptr, ", ", nullptr, -1});
        }
        break;
      }
    }
  }
}

// A u32 reads as a register, a jump target or a plain number by its kind.
void append_field(std::string& out, FieldKind kind, std::uint32_t n) {
  if (kind == FieldKind::Reg) out += 'r';
  if (kind == FieldKind::Target) out += '@';
  append_decimal(out, std::uint64_t{n});
}
void append_field(std::string& out, FieldKind, std::uint64_t n) { append_decimal(out, n); }
void append_field(std::string& out, FieldKind, std::int64_t n) { append_decimal(out, n); }
void append_field(std::string& out, FieldKind, double f) { append_float(out, f); }
void append_field(std::string& out, FieldKind, bool b) { out += b ? "true" : "false"; }
void append_field(std::string& out, FieldKind, const std::string& s) {
  append_quoted(out, s);
}
void append_field(std::string& out, FieldKind, const Value& v) { append_value(out, v); }
void append_field(std::string& out, FieldKind, const BytecodeType& t) {
  append_type(out, t);
}

void append_field(std::string& out, FieldKind, const ConstantEntry& e) {
  out += e.name;
  out += ": ";
  append_type(out, e.type);
  out += " = r";
  append_decimal(out, std::uint64_t{e.reg});
}
void append_field(std::string& out, FieldKind, const StructEntry& e) {
  out += e.name;
  out += '{';
  for (std::size_t i = 0; i < e.fields.size(); ++i) {
    if (i > 0) out += ", ";
    out += e.fields[i].name;
    out += ": ";
    append_type(out, e.fields[i].type);
  }
  out += '}';
}
void append_field(std::string& out, FieldKind, const FunctionEntry& e) {
  out += e.name;
  out += '(';
  for (std::size_t i = 0; i < e.params.size(); ++i) {
    if (i > 0) out += ", ";
    append_field(out, FieldKind::Reg, e.params[i]);
  }
  out += ") @";
  append_decimal(out, std::uint64_t{e.entry});
}

template <class T>
void append_field(std::string& out, FieldKind kind, const std::vector<T>& list);

template <class T>
void append_field(std::string& out, FieldKind kind, const Indirect<T>& boxed) {
  append_field(out, kind, boxed.get());
}

template <class T>
void append_field(std::string& out, FieldKind kind, const std::optional<T>& opt) {
  if (!opt) {
    out += "none";
    return;
  }
  append_field(out, element_kind(kind), *opt);
}

template <class T>
void append_field(std::string& out, FieldKind kind, const std::vector<T>& list) {
  out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ", ";
    append_field(out, element_kind(kind), list[i]);
  }
  out += ']';
}

void append_instruction(std::string& out, const Instruction& insn) {
  std::visit(
      [&](const auto& variant) {
        out += variant.kName;
        bool first = true;
        variant.for_each_field_spec([&](const FieldSpec& field, const auto& value) {
          out += first ? " " : ", ";
          first = false;
          append_field(out, field.kind, value);
        });
      },
      insn);
}

}  // namespace

std::string disassemble(const std::vector<Instruction>& code) {
  std::string out;
  for (std::size_t i = 0; i < code.size(); ++i) {
    append_decimal(out, std::uint64_t{i});
    out += ": ";
    append_instruction(out, code[i]);
    out += '\n';
  }
  return out;
}

std::string disassemble_instruction(const Instruction& insn) {
  std::string out;
  append_instruction(out, insn);
  return out;
}

std::string render_value(const Value& value) {
  std::string out;
  append_value(out, value);
  return out;
}

std::string render_type(const BytecodeType& type) {
  std::string out;
  append_type(out, type);
  return out;
}

std::string render_text(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace quarn::core
