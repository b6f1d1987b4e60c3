// The controller's reads of KORVANE.INI: "[RELAY]", the "[OPTIONS]" keys of
// the start, the device and channel paragraphs ("[FOIP-G1]",
// "[FOIP-G1-3]" or "[FOIP-7]") and "[DRENNIC]".  Input: u8 shape (bit 0:
// the number form; bit 1: a device paragraph written in front), then the
// file.  Every text setting stays terminated inside its field, the result is
// 0, a PERC or -1, and the numbers keep their ranges where the reader
// promises them.  A device paragraph written in front of the hostile file
// (values taken from the file's first lines) is what the controller keeps,
// cut to its fields, whatever follows it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "controller/controller_config.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

template <std::size_t N>
void terminated(const char (&field)[N]) {
  check(std::memchr(field, 0, N) != nullptr);
}

// A value as a line holds it: printable, without blanks at either end.
std::string ValueFrom(const std::vector<char>& text, std::size_t* at, std::size_t limit) {
  std::string v;
  while (*at < text.size() && text[*at] != '\n' && text[*at] != 0) {
    const unsigned char u = static_cast<unsigned char>(text[*at]);
    if (u >= 32 && u != 127 && v.size() < limit) v += static_cast<char>(u);
    ++*at;
  }
  if (*at < text.size()) ++*at;
  while (!v.empty() && v.back() == ' ') v.pop_back();
  const std::size_t lead = v.find_first_not_of(' ');
  return lead == std::string::npos ? std::string() : v.substr(lead);
}

template <std::size_t N>
bool Kept(const char (&field)[N], const std::string& written) {
  return written.substr(0, N - 1) == field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 50000) return 0;
  std::vector<char> text(data + 1, data + size);
  const bool front = (data[0] & 3) == 3;
  std::string phone, organisation, prefix;
  if (front) {
    std::size_t at = 0;
    phone = ValueFrom(text, &at, 100);
    organisation = ValueFrom(text, &at, 100);
    prefix = ValueFrom(text, &at, 100);
    const std::string para = "[FOIP-7]\r\nPort: com2\r\nPhoneNum: " + phone + "\r\nOrganisation: " + organisation +
                             "\r\nDialPrefix: " + prefix + "\r\nBaudRate: 19200\r\n";
    text.insert(text.begin(), para.begin(), para.end());
  }
  text.push_back('\0');
  FILE* ini = fmemopen(text.data(), text.size(), "r");
  if (ini == nullptr) return 0;

  ControllerIdentity id;
  if (data[0] & 1) {
    id.device_type = 7;
  } else {
    id.group_form = true;
    std::strcpy(id.group, "G1");
    id.channel = 3;
  }
  ControllerConfig config;
  InitRelayParams(ini, &config.relay);
  std::rewind(ini);
  ReadStartOptions(ini, &config);
  std::rewind(ini);
  const int r = InitLowerParams(ini, id, "/tmp/", &config);
  (void)std::fclose(ini);
  check(r >= -1);

  terminated(config.relay.default_user);
  terminated(config.relay.identifier);
  terminated(config.date_format_short);
  terminated(config.header_line_font);
  terminated(config.character_set);
  terminated(config.port);
  terminated(config.phone_num);
  terminated(config.scan_waiting_file);
  terminated(config.scan_confirm_file);
  terminated(config.scan_completed_file);
  terminated(config.scan_aborted_file);
  terminated(config.organisation);
  terminated(config.comms_log_file);
  terminated(config.dial_prefix);
  terminated(config.dial_suffix);
  terminated(config.recd_user);
  terminated(config.demo_rec_file);
  terminated(config.retransmission_head);
  terminated(config.retransmission_additional);
  terminated(config.csid_separator);
  terminated(config.type);
  terminated(config.port_name);
  terminated(config.temp_folder);
  terminated(config.temp_receive_folder);
  check(config.receive_wanted == 0 || config.receive_wanted == 1);
  if (front) {
    check(std::strcmp(config.port, "COM2") == 0 && config.baud_rate == 19200);
    // An empty value leaves the default.
    check(phone.empty() || Kept(config.phone_num, phone));
    check(organisation.empty() || Kept(config.organisation, organisation));
    check(prefix.empty() || Kept(config.dial_prefix, prefix));
  }
  return 0;
}
