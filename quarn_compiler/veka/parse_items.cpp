// Whole source texts: imports, then one program block or one bare module;
// modules with their constants, structs, enums and definitions; functions and
// blocks with their attributes.

#include "quarn_compiler/veka/fast_parse.h"
#include "quarn_compiler/veka/parser.h"

namespace quarn::compiler {
namespace detail {

// source: import* (module | program)   -- text after it is never read
St Parser::parse_program(Program& out) {
  size_t q = 0;
  while (true) {
    size_t s = q;
    Import import;
    if (parse_import(s, import) != St::Ok) {
      drop();
      break;
    }
    out.imports.push_back(std::move(import));
    q = s;
  }
  size_t r = skip_ws(q);
  if (starts_with(r, "module")) {
    Module module;
    St st = parse_module(r, module);
    if (failed(st)) return st;
    out.name = module.name;
    out.modules.push_back(std::move(module));
    return St::Ok;
  }
  return parse_program_block(q, out);
}

// import: "import" "{" (identifier ("," identifier)*)? "}" "from" string ";"
// Every failure here is soft: the import list just ends.
St Parser::parse_import(size_t& p, Import& out) {
  size_t q = skip_ws(p);
  size_t start = q;
  if (!starts_with(q, "import")) return fail_kind(q, PrimitiveKind::Tag);
  q += 6;
  St st;
  if (failed(st = plain_char(q, '{'))) return st;
  std::string name;
  size_t s = skip_ws(q);
  if (parse_identifier(s, name) == St::Ok) {
    out.names.push_back(ImportName{std::move(name), std::nullopt});
    q = s;
    while (true) {
      size_t c = skip_ws(q);
      if (!at(c, ',')) break;
      s = skip_ws(c + 1);
      if (parse_identifier(s, name) != St::Ok) {
        drop();
        break;
      }
      out.names.push_back(ImportName{std::move(name), std::nullopt});
      q = s;
    }
  } else {
    drop();
  }
  if (failed(st = plain_char(q, '}'))) return st;
  if (failed(st = labelled_tag(q, "'from' keyword", "from"))) return st;
  s = skip_ws(q);
  if (failed(st = parse_string_literal(s, out.path))) return add_label(St::Soft, q, "module path string");
  q = s;
  if (failed(st = plain_char(q, ';'))) return st;
  out.span = span(start, q);
  p = q;
  return St::Ok;
}

// program: "program" name "{" module* definition* "}"
St Parser::parse_program_block(size_t& p, Program& out) {
  size_t q = p;
  St st;
  if (failed(st = labelled_tag(q, "'program' keyword", "program"))) return st;
  if (failed(st = hard_name(q, "program name", out.name))) return st;
  if (failed(st = expect_symbol(q, "'{' to start program", '{'))) return st;
  while (true) {
    size_t s = skip_ws(q);
    Module module;
    st = parse_module(s, module);
    if (st == St::Hard) return st;
    if (st == St::Soft) {
      drop();
      break;
    }
    out.modules.push_back(std::move(module));
    q = s;
  }
  if (sink_ != nullptr) sink_->modules_parsed(out);
  return parse_definitions_from(q, out);
}

// definition* "}"   -- the rest of a program block from q, after its modules
St Parser::parse_definitions_from(size_t q, Program& out) {
  St st;
  while (true) {
    size_t s = skip_ws(q);
    FunctionDef def;
    bool exported = false;  // accepted and dropped at program level
    st = parse_definition(s, def, exported);
    if (st == St::Hard) return st;
    if (st == St::Soft) {
      drop();
      break;
    }
    if (sink_ != nullptr) {
      sink_->definition_parsed(std::move(def));
    } else {
      out.definitions.push_back(std::move(def));
    }
    q = s;
  }
  if (failed(st = expect_symbol(q, "'}' to close program", '}'))) return st;
  return St::Ok;
}

// module: "module" name "{" capabilities? item* "}"
St Parser::parse_module(size_t& p, Module& out) {
  size_t q = p;
  St st;
  if (failed(st = labelled_tag(q, "'module' keyword", "module"))) return st;
  if (failed(st = hard_name(q, "module name", out.name))) return st;
  if (failed(st = expect_symbol(q, "'{' to start module", '{'))) return st;
  if (failed(st = parse_capabilities(q, out.capabilities))) return st;
  // item: const | struct | enum | definition, in any order; sorted by kind.
  while (true) {
    size_t s = q;
    ConstDecl c;
    if ((st = parse_const(s, c)) == St::Ok) {
      out.constants.push_back(std::move(c));
      q = s;
      continue;
    }
    if (st == St::Hard) return st;
    drop();
    s = q;
    StructDecl sd;
    if ((st = parse_struct(s, sd)) == St::Ok) {
      out.structs.push_back(std::move(sd));
      q = s;
      continue;
    }
    if (st == St::Hard) return st;
    drop();
    s = q;
    EnumDecl ed;
    if ((st = parse_enum(s, ed)) == St::Ok) {
      out.enums.push_back(std::move(ed));
      q = s;
      continue;
    }
    if (st == St::Hard) return st;
    drop();
    s = q;
    FunctionDef def;
    bool exported = false;
    if ((st = parse_definition(s, def, exported)) == St::Ok) {
      if (exported) out.exports.push_back(def.name);
      out.functions.push_back(std::move(def));
      q = s;
      continue;
    }
    if (st == St::Hard) return st;
    drop();
    break;
  }
  if (failed(st = expect_symbol(q, "'}' to close module", '}'))) return st;
  p = q;
  return St::Ok;
}

// capabilities: "capability" ":" identifier ("," identifier)*
// Without the word or the ":" there is no clause; after the ":" the first
// name is required.
St Parser::parse_capabilities(size_t& p, std::optional<std::vector<std::string>>& out) {
  size_t q = p;
  if (labelled_tag(q, "'capability' keyword", "capability") != St::Ok ||
      plain_char(q, ':') != St::Ok) {
    drop();
    return St::Ok;
  }
  std::vector<std::string> names;
  std::string name;
  size_t s = skip_ws(q);
  St st = parse_identifier(s, name);
  if (failed(st)) return St::Hard;
  names.push_back(std::move(name));
  q = s;
  while (true) {
    size_t c = skip_ws(q);
    if (!at(c, ',')) break;
    s = skip_ws(c + 1);
    if (parse_identifier(s, name) != St::Ok) {
      drop();
      break;
    }
    names.push_back(std::move(name));
    q = s;
  }
  out = std::move(names);
  p = q;
  return St::Ok;
}

// const: "const" name ":" type "=" expr ";"
St Parser::parse_const(size_t& p, ConstDecl& out) {
  size_t q = p;
  St st;
  if (failed(st = labelled_tag(q, "'const' keyword", "const"))) return st;
  if (failed(st = hard_name(q, "constant name", out.name))) return st;
  if (failed(st = expect_symbol(q, "':' after constant name", ':'))) return st;
  {
    size_t s = skip_ws(q);
    if (failed(st = parse_type(s, out.type))) return cut(st, q, "constant type");
    q = s;
  }
  if (failed(st = expect_symbol(q, "'=' after constant type", '='))) return st;
  {
    size_t s = q;
    if (failed(st = parse_expression(s, out.value))) return cut(st, q, "constant value");
    q = s;
  }
  if (failed(st = expect_symbol(q, "';' after constant value", ';'))) return st;
  p = q;
  return St::Ok;
}

// struct: "struct" name "{" (identifier ":" type ","?)* "}"
St Parser::parse_struct(size_t& p, StructDecl& out) {
  size_t q = p;
  St st;
  if (failed(st = labelled_tag(q, "'struct' keyword", "struct"))) return st;
  if (failed(st = hard_name(q, "struct name", out.name))) return st;
  if (failed(st = expect_symbol(q, "'{' to start struct fields", '{'))) return st;
  while (true) {
    size_t s = skip_ws(q);
    std::string name;
    Type type;
    if (parse_identifier(s, name) != St::Ok || plain_char(s, ':') != St::Ok) {
      drop();
      break;
    }
    s = skip_ws(s);
    st = parse_type(s, type);
    if (st == St::Hard) return st;
    if (st == St::Soft) {
      drop();
      break;
    }
    size_t c = skip_ws(s);
    if (at(c, ',')) s = c + 1;
    out.fields.emplace_back(std::move(name), std::move(type));
    q = s;
  }
  if (failed(st = expect_symbol(q, "'}' to close struct fields", '}'))) return st;
  p = q;
  return St::Ok;
}

// enum: "enum" name "{" (identifier ","?)* "}"
St Parser::parse_enum(size_t& p, EnumDecl& out) {
  size_t q = p;
  St st;
  if (failed(st = labelled_tag(q, "'enum' keyword", "enum"))) return st;
  if (failed(st = hard_name(q, "enum name", out.name))) return st;
  if (failed(st = expect_symbol(q, "'{' to start enum variants", '{'))) return st;
  while (true) {
    size_t s = skip_ws(q);
    std::string name;
    if (parse_identifier(s, name) != St::Ok) {
      drop();
      break;
    }
    size_t c = skip_ws(s);
    if (at(c, ',')) s = c + 1;
    out.variants.push_back(std::move(name));
    q = s;
  }
  if (failed(st = expect_symbol(q, "'}' to close enum variants", '}'))) return st;
  p = q;
  return St::Ok;
}

// definition: "export"? attribute* (function | block)
St Parser::parse_definition(size_t& p, FunctionDef& out, bool& exported) {
  size_t q = skip_ws(p);
  exported = starts_with(q, "export");
  if (exported) q += 6;
  std::vector<std::string> attributes;
  St st = parse_attributes(q, attributes);
  if (failed(st)) return st;

  size_t s = q;
  st = parse_function(s, out);
  if (st == St::Ok) {
    out.attributes = std::move(attributes);
    p = s;
    return St::Ok;
  }
  add_label(st, q, "function definition");
  if (st == St::Hard) return st;
  drop();

  // The block form reads attributes again from here; those written before
  // the first attempt still belong to the block.
  s = q;
  std::vector<std::string> more;
  if (failed(st = parse_attributes(s, more))) return st;
  FunctionDef block;
  st = parse_block(s, block);
  if (st == St::Ok) {
    attributes.insert(attributes.end(), std::make_move_iterator(more.begin()),
                      std::make_move_iterator(more.end()));
    block.attributes = std::move(attributes);
    out = std::move(block);
    p = s;
    return St::Ok;
  }
  add_label(st, q, "block definition");
  if (st == St::Hard) return st;
  return fail_kind(q, PrimitiveKind::Alt);
}

// attribute*: read until one does not parse
St Parser::parse_attributes(size_t& p, std::vector<std::string>& out) {
  size_t q = p;
  while (true) {
    size_t s = q;
    std::string text;
    if (parse_attribute(s, text) != St::Ok) {
      drop();
      break;
    }
    out.push_back(std::move(text));
    q = s;
  }
  p = q;
  return St::Ok;
}

// attribute: "@" identifier "(" raw ")" | "#" "[" identifier ("(" raw ")")? "]"
// Stored as name, or name "(" raw ")" with raw verbatim.
St Parser::parse_attribute(size_t& p, std::string& out) {
  size_t q = skip_ws(p);
  auto arguments = [&](size_t& s, std::string& text) -> St {
    if (failed(plain_char(s, '('))) return St::Soft;
    size_t close = src_.find(')', s);
    if (close == std::string_view::npos) return fail_char(src_.size(), ')');
    text.push_back('(');
    text.append(src_.substr(s, close - s));
    text.push_back(')');
    s = close + 1;
    return St::Ok;
  };
  std::string text;
  if (at(q, '@')) {
    size_t s = skip_ws(q + 1);
    St st = parse_identifier(s, text);
    if (failed(st) || failed(st = arguments(s, text))) return st;
    out = std::move(text);
    p = s;
    return St::Ok;
  }
  if (at(q, '#')) {
    size_t s = q + 1;
    St st = plain_char(s, '[');
    if (failed(st)) return st;
    s = skip_ws(s);
    if (failed(st = parse_identifier(s, text))) return st;
    size_t a = s;
    if (arguments(a, text) == St::Ok) {
      s = a;
    } else {
      drop();
    }
    if (failed(st = plain_char(s, ']'))) return st;
    out = std::move(text);
    p = s;
    return St::Ok;
  }
  return fail_char(q, '@');
}

// function: "fn" name "(" (param ("," param)*)? ")" ("->" type)? "{" stmts "}"
St Parser::parse_function(size_t& p, FunctionDef& out) {
  size_t q = p;
  Span ks;
  St st = parse_keyword(q, "fn", ks);
  if (failed(st)) return st;
  Span ns;
  if (failed(st = hard_name(q, "function name", out.name, &ns))) return st;
  out.name_span = ns;
  if (failed(st = expect_symbol(q, "'(' for parameters", '('))) return st;
  {
    size_t s = q;
    Param param;
    st = parse_param(s, param);
    if (st == St::Hard) return st;
    if (st == St::Ok) {
      out.params.push_back(std::move(param));
      q = s;
      while (true) {
        size_t c = skip_ws(q);
        if (!at(c, ',')) break;
        s = c + 1;
        st = parse_param(s, param);
        if (st == St::Hard) return st;
        if (st == St::Soft) {
          drop();
          break;
        }
        out.params.push_back(std::move(param));
        q = s;
      }
    } else {
      drop();
    }
  }
  if (failed(st = expect_symbol(q, "')' after parameters", ')'))) return st;
  {
    size_t r = skip_ws(q);
    if (starts_with(r, "->")) {
      size_t s = r + 2;
      Type type;
      Span ts;
      st = parse_type_span(s, type, ts);
      if (st == St::Hard) return st;
      if (st == St::Ok) {
        out.return_type = std::move(type);
        out.return_type_span = ts;
        q = s;
      } else {
        drop();
      }
    }
  }
  if (failed(st = parse_body(q, "'{' to start function body", "'}' to close function", out.body)))
    return st;
  p = q;
  return St::Ok;
}

// block: "block" name "(" ")" "{" stmts "}"
St Parser::parse_block(size_t& p, FunctionDef& out) {
  size_t q = skip_ws(p);
  if (!starts_with(q, "block")) return fail_kind(q, PrimitiveKind::Tag);
  q += 5;
  St st;
  if (failed(st = hard_name(q, "block name", out.name))) return st;
  if (failed(st = plain_char(q, '(')) || failed(st = plain_char(q, ')'))) return st;
  if (failed(st = parse_body(q, "'{' to start block body", "'}' to close block", out.body)))
    return st;
  p = q;
  return St::Ok;
}

// "{" stmts "}" with the given symbol labels.
St Parser::parse_body(size_t& p, std::string_view open_label, std::string_view close_label,
                      std::vector<SpannedStmt>& out) {
  size_t q = p;
  St st;
  if (failed(st = expect_symbol(q, open_label, '{'))) return st;
  if (failed(st = parse_statement_list(q, out))) return st;
  if (failed(st = expect_symbol(q, close_label, '}'))) return st;
  p = q;
  return St::Ok;
}

// param: identifier ":" type
St Parser::parse_param(size_t& p, Param& out) {
  size_t q = p;
  St st = parse_identifier_span(q, out.name, out.name_span);
  if (failed(st)) return st;
  if (failed(st = plain_char(q, ':'))) return st;
  if (failed(st = parse_type_span(q, out.type, out.type_span))) return st;
  p = q;
  return St::Ok;
}

}  // namespace detail

namespace {

ParseResult outcome(detail::St st, detail::Parser& parser, Program&& program) {
  if (st == detail::St::Ok) return std::move(program);
  ParseFailure failure;
  failure.kind = st == detail::St::Hard ? FailureKind::Hard : FailureKind::Soft;
  failure.trail = std::move(parser.trail_);
  return failure;
}

}  // namespace

namespace detail {

ParseResult parse_source_backtracking(std::string_view source, ProgramSink* sink) {
  Parser parser(source, sink);
  Program program;
  St st = parser.parse_program(program);
  return outcome(st, parser, std::move(program));
}

}  // namespace detail

// The predictive route reads what it can; the backtracking parser takes over
// where it stops. Stopped among the definitions, the backtracking parser
// goes on from the definition the predictive route could not read, with
// the program as it stands: what the sink got is not handed over again, and
// the modules it was shown stay where they are.
ParseResult parse_source(std::string_view source, ProgramSink* sink) {
  Program program;
  const detail::FastOutcome fast = detail::fast_parse(source, sink, program);
  if (fast.end == detail::FastEnd::Parsed) return program;
  detail::Parser parser(source, sink);
  detail::St st;
  if (fast.end == detail::FastEnd::StoppedInDefinitions) {
    st = parser.parse_definitions_from(fast.resume_at, program);
  } else {
    program = Program{};
    st = parser.parse_program(program);
  }
  return outcome(st, parser, std::move(program));
}

}  // namespace quarn::compiler
