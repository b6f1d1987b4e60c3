// Fuzzes the relay digit parser and the cleaning of call fields.  The first
// input byte picks the identifier length (1 to 3, taken from the next
// bytes); the rest are the called digits.  A relay request must give a
// number of at most 60 and a DID of at most 20 characters, both without
// control characters; the LDAP filter of any DID must hold no unescaped
// filter character.
#include <cstdint>
#include <string>

#include "controller/receive_routing.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool Clean(const std::string& s) {
  for (const char c : s)
    if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::size_t id_len = 1 + data[0] % 3;
  if (size < 1 + id_len) return 0;
  const std::string id(reinterpret_cast<const char*>(data + 1), id_len);
  const std::string digits(reinterpret_cast<const char*>(data + 1 + id_len), size - 1 - id_len);
  std::string number, did;
  const int r = GetRelayInfoFromDTMF(digits, id, &number, &did);
  check(r == 0 || r == 1);
  if (r) {
    check(number.size() <= RELAY_NUMBER_CHARS && did.size() <= RELAY_DID_CHARS);
    check(Clean(number) && Clean(did));
  }
  const std::string cleaned = CleanCallField(digits, CALL_DID_CHARS);
  check(cleaned.size() <= CALL_DID_CHARS && Clean(cleaned));
  const std::string filter = DirectoryFilterForDid(cleaned);
  const std::string value = filter.substr(27, filter.size() - 27 - 39);
  for (const char c : value) check(c != '*' && c != '(' && c != ')');
  return 0;
}
