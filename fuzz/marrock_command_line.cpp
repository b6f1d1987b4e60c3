// The device controller's command line: arguments split from the input at
// NUL bytes (the first is the program name) go through ParseCommandLine and
// the console title built from what remains.  The two paragraph names stay
// terminated, upper case and within their fields; at most 20 arguments are
// kept; the title stays within its 128 bytes and holds no NUL.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "controller/controller.h"

namespace {

void check_paragraph(const char* p, std::size_t size) {
  const void* nul = std::memchr(p, 0, size);
  if (nul == nullptr) std::abort();
  for (const char* c = p; *c != '\0'; ++c)
    if (std::islower(static_cast<unsigned char>(*c))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) args.emplace_back();
    else args.back() += static_cast<char>(data[i]);
  }
  if (args.size() > 64) return 0;
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& a : args) argv.push_back(a.c_str());
  const MarrockCommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  check_paragraph(cl.server_paragraph, sizeof cl.server_paragraph);
  check_paragraph(cl.devices_paragraph, sizeof cl.devices_paragraph);
  if (cl.remaining.size() > static_cast<std::size_t>(kMaxCommandArguments)) std::abort();
  if (cl.remaining.empty() || cl.remaining[0] != args[0]) std::abort();
  for (const char* type : {"FOIP", "LONGTYPENAME"}) {
    const std::string title = BuildConsoleTitle(cl.remaining, type);
    if (title.empty() || title.size() >= 128 || title.find('\0') != std::string::npos) std::abort();
  }
  return 0;
}
