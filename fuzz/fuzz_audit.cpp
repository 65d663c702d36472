// Audit records from any bytes: creating never crashes; a record that was
// made verifies against the same entities text and not against another; the
// reader agrees with nlohmann's parser; the entities value, written again,
// parses back to the same text.
#include "clinical/audit.h"
#include "clinical/json.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace quarn::clinical;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first line is the note identifier, the rest the entities text.
  std::size_t nl = input.find('\n');
  std::string_view note_id = nl == std::string_view::npos ? std::string_view() : input.substr(0, nl);
  std::string_view entities = nl == std::string_view::npos ? input : input.substr(nl + 1);

  auto record = create_audit(note_id, entities, size);
  if (record.ok()) {
    auto ok = verify_audit(record.value(), entities);
    if (!ok.ok() || !ok.value()) std::abort();
    std::string other(entities);
    other.push_back('x');
    auto changed = verify_audit(record.value(), other);
    if (!changed.ok() || changed.value()) std::abort();
  }

  // The reader accepts what nlohmann's strict parser accepts, with the same
  // document; and whatever it takes, its canonical text reads back unchanged.
  auto doc = parse_json(entities);
  auto reference = parse_json_reference(entities);
  if (doc.ok() != reference.ok()) std::abort();
  if (doc.ok() && (doc.value().nodes != reference.value().nodes ||
                   doc.value().strings != reference.value().strings)) {
    std::abort();
  }
  if (doc.ok()) {
    std::string once;
    write_json(doc.value(), once);
    auto again = parse_json(once);
    if (!again.ok()) std::abort();
    std::string twice;
    write_json(again.value(), twice);
    auto third = parse_json(twice);
    std::string thrice;
    if (!third.ok()) std::abort();
    write_json(third.value(), thrice);
    if (thrice != twice) std::abort();  // "-0" may become "0" once, then it is fixed
  }

  // verify on arbitrary text as the record: any outcome but a crash.
  (void)verify_audit(input, entities);
  return 0;
}
