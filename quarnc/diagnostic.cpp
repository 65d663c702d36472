#include "quarnc/diagnostic.h"

#include <nlohmann/json.hpp>

namespace quarn::quarnc {

Diagnostic diagnose(const compiler::CompileError& error) {
  return Diagnostic{compiler::stage_name(error.stage), error.position, error.message};
}

Diagnostic decode_diagnostic(std::string_view message) { return Diagnostic{"decode", std::nullopt, message}; }

std::string json_line(std::string_view file, const Diagnostic& d) {
  nlohmann::ordered_json j;
  j["file"] = std::string(file);
  j["stage"] = std::string(d.stage);
  if (d.position) {
    j["line"] = d.position->line;
    j["column"] = d.position->column;
  }
  j["message"] = std::string(d.message);
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace quarn::quarnc
