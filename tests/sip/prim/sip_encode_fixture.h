// Test helper for the SIP text encoder: a runtime with buffers, a transport
// that records what it is handed, and a dump of the work area's fields by
// the element layouts, so that a message parsed back can be compared with
// the one that was encoded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "sip/prim/sip_elem_layout.h"
#include "sip/text/sip_encode.h"
#include "sip/text/sip_response.h"
#include "tests/sip/text/sip_parse_fixture.h"

namespace sip_enc_test {

inline const entity_table_row_t TABLE[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

struct sent_message {
  std::string text;
  unsigned buffers = 0;
  std::uint16_t first_offset = 0;
  std::uint8_t code = 0;
  std::vector<std::uint16_t> sizes;
};

inline std::vector<sent_message>& sent() {
  static std::vector<sent_message> s;
  return s;
}

inline void record_chain(buffer_t* chain, std::uint8_t code) {
  sent_message m;
  m.code = code;
  m.first_offset = chain->data_offset;
  for (const buffer_t* b = chain; b != nullptr; b = b->next) {
    m.text.append(reinterpret_cast<const char*>(Buffer_data(b)), b->data_size);
    m.sizes.push_back(b->data_size);
    ++m.buffers;
  }
  sent().push_back(m);
  Free_buffer(chain);
}

class SipEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::start_manual(TABLE);
    rt_test::pump();
    sent().clear();
    sip_encode_env = sip_encode_services{};
    sip_encode_env.send_to_transport = record_chain;
    sip_encode_env.send_by_kind = [](buffer_t* chain) -> std::uint8_t {
      record_chain(chain, 0);
      return SIP_RESULT_OK;
    };
    sip_work__release();
    base_held = held();
  }
  void TearDown() override {
    sip_work__release();
    EXPECT_EQ(held(), base_held) << "buffers left allocated";
    sip_encode_env = sip_encode_services{};
    sip_parse_env = sip_parse_services{};
    rt_test::stop();
  }
  static int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }
  int base_held = 0;
};

// The kind letter of the parsed message, 0 for none.
inline std::uint8_t parsed_kind() {
  const std::uint8_t m = sip_hdr_area.method;
  if (m >= SIP_METHOD_INVITE && m <= SIP_METHOD_REGISTER) return static_cast<std::uint8_t>('A' + (m - 0xE1));
  if (m == SIP_METHOD_RESPONSE && sip_hdr_area.count[18] != 0 && sip_hdr_area.cseq.method >= 0xC1 &&
      sip_hdr_area.cseq.method <= 0xC6 && sip_hdr_area.cseq.method != 0xC2)
    return static_cast<std::uint8_t>('a' + (sip_hdr_area.cseq.method - 0xC1));
  return 0;
}

// Encodes the work area as `kind`; the text sent, or "" when nothing was.
inline std::string encode(std::uint8_t kind, std::uint8_t* result = nullptr) {
  const std::size_t before = sent().size();
  sip_encode_kind = kind;
  const std::uint8_t r = sip_encode_message(SIP_ENCODE_STATELESS);
  if (result != nullptr) *result = r;
  return sent().size() > before ? sent().back().text : std::string();
}

// Parses `text` and encodes it as its own kind.
inline std::string reencode(sip_parse_run& run, const std::string& text, bool compact = false) {
  sip_parse_text(run, text);
  sip_encode_env.compact = compact;
  const std::uint8_t kind = parsed_kind();
  return kind == 0 ? std::string() : encode(kind);
}

inline std::string str(sip_str s) { return s.ptr == nullptr ? std::string() : std::string(s.ptr, sip_str__chars(s)); }

// Every field of every instance the table of `kind` writes, as text lines
// "<id>[<instance>]@<offset>=<value>"; single-line headers keep instance 0.
inline std::vector<std::string> dump(std::uint8_t kind, bool (*skip)(unsigned id, unsigned offset) = nullptr) {
  std::vector<std::string> out;
  char line[64];
  for (unsigned id = 1; id < SIP_HDR_SLOTS; ++id) {
    if (id == 62 || !sip_encode__table_has(kind, static_cast<std::uint8_t>(id))) continue;
    const sip_elem_layout* l = sip_elem__layout(static_cast<sip_header_id>(id));
    if (l == nullptr) continue;
    const unsigned n = std::min<unsigned>(sip_hdr_area.count[id], l->max);
    std::snprintf(line, sizeof line, "%u count=%u", id, n);
    out.emplace_back(line);
    for (unsigned i = 0; i < n; ++i) {
      const void* rec = l->record(i);
      for (std::size_t f = 0; f < l->field_count; ++f) {
        const sip_elem_field& fd = l->fields[f];
        if (skip != nullptr && skip(id, fd.offset)) continue;
        std::snprintf(line, sizeof line, "%u[%u]@%u=", id, i, fd.offset);
        std::string v = line;
        if (fd.get_num != nullptr) {
          if (fd.set_num == nullptr) continue;
          v += std::to_string(fd.get_num(rec));
        } else if (fd.get_str != nullptr) {
          const sip_str s = fd.get_str(rec);
          const std::uint16_t len = fd.kind == sip_elem_kind::text ? sip_str__chars(s) : s.len;
          if (len != 0) v.append(s.ptr, len);
        }
        out.push_back(v);
      }
    }
  }
  for (unsigned i = 0; i < std::min<unsigned>(sip_hdr_area.count[62], SIP_MAX_BODY); ++i)
    out.push_back("body=" + str(sip_hdr_area.body[i].text));
  return out;
}

inline std::string diff(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::string d;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const std::string x = i < a.size() ? a[i] : "<none>";
    const std::string y = i < b.size() ? b[i] : "<none>";
    if (x != y) d += "  " + x + "  |  " + y + "\n";
  }
  return d;
}

}  // namespace sip_enc_test
