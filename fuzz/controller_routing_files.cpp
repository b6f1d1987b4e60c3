// The controller's readers of ROUTING.INI and MAILLIST.INI on hostile files:
// the first input line is the query (a DID, relay digits or a mail name),
// the rest the file.  A user found by DID is never empty and never an
// '@' value; relay answers keep their limits; a user found by mail name is
// upper-cased; the results are 0 or 1.  Then the round trip: an entry
// written in front of the hostile file (a DID made of the query's dial
// characters with a user, a "[USER]" paragraph with the query as mail
// name) is what the readers find, whatever follows it.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "controller/receive_routing.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string g_file;

void write_file(const std::string& text) {
  if (g_file.empty()) {
    g_file = "/tmp/fuzz_routing_" + std::to_string(static_cast<long>(getpid())) + ".ini";
    // The scratch file goes when the run ends.
    (void)std::atexit([] { (void)std::remove(g_file.c_str()); });
  }
  if (FILE* f = std::fopen(g_file.c_str(), "wb")) {
    (void)std::fwrite(text.data(), 1, text.size(), f);
    (void)std::fclose(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 20000) return 0;
  const std::string in(reinterpret_cast<const char*>(data), size);
  const std::size_t nl = in.find('\n');
  const std::string query = in.substr(0, std::min(nl, static_cast<std::size_t>(80)));
  const std::string file = nl == std::string::npos ? std::string() : in.substr(nl + 1);
  write_file(file);

  CallRouter router(g_file, nullptr);
  std::string user;
  const int found = router.UserFromDid(query, &user);
  check(found == 0 || found == 1);
  if (found == 1) check(!user.empty() && user[0] != '@');
  const int known = router.IsKnownDid(query);
  check(known == 0 || known == 1);
  if (found == 1) check(known == 1);

  for (int shape = 0; shape < 4; ++shape) {
    RelaySettings relay;
    relay.enabled = true;
    relay.anonymous_send = shape & 1;
    relay.reject_unmatched = shape & 2;
    relay.default_user = "DEFAULT";
    bool reject = false;
    std::string relay_user, relay_dest;
    const int r = router.ProcessRelayCall(relay, query, "127.0.0.1", &reject, &relay_user, &relay_dest);
    check(r == 0 || r == 1);
    if (r == 1 && !reject) check(relay_dest.size() <= RELAY_NUMBER_CHARS && relay_user.size() <= RELAY_USER_CHARS);
    if (reject) check(r == 1);
  }

  std::string mail_user;
  const int mail = SearchEmailnameMail(g_file, query, &mail_user);
  check(mail == 0 || mail == 1);
  if (mail == 1)
    for (char c : mail_user) check(!std::islower(static_cast<unsigned char>(c)));

  // Round trip.  The DID keeps the query's dial characters (a ':' or '='
  // would end the key); the user is a plain name of 1 to 8 letters.
  std::string did;
  for (const char c : query)
    if (c != 0 && std::strchr("0123456789*#+ABCD", c) && did.size() < 20) did += c;
  const std::string written_user = std::string("Us") + static_cast<char>('a' + size % 26);
  // A mail name is matched as the trimmed text of its line.
  std::string name;
  for (const char c : query)
    if (static_cast<unsigned char>(c) >= 32 && c != 127 && name.size() < 60) name += c;
  while (!name.empty() && name.back() == ' ') name.pop_back();
  name.erase(0, std::min(name.find_first_not_of(' '), name.size()));
  if (did.empty() && name.empty()) return 0;
  std::string front;
  if (!did.empty()) front += "[SUBADDR]\r\n" + did + ": " + written_user + "\r\n";
  if (!name.empty()) front += "[USER]\r\nEmailname: " + name + "\r\nKorvname: " + written_user + "\r\nProfile: 0\r\n";
  write_file(front + file);
  if (!did.empty()) {
    CallRouter again(g_file, nullptr);
    std::string back;
    check(again.UserFromDid(did, &back) == 1 && back == written_user);
    check(again.IsKnownDid(did) == 1);
  }
  if (!name.empty()) {
    std::string back;
    std::string upper = written_user;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    check(SearchEmailnameMail(g_file, name, &back) == 1 && back == upper);
  }
  return 0;
}
