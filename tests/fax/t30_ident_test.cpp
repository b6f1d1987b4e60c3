// Identification and optional frames: T30_SETPARM_RQ items, frame sets built
// for DIS, DTC, DCS and CFR, and the received-identification record.
#include "fax/t30_frame_set.h"
#include "fax/t30_ident.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// Characters as they appear in a frame octet (sent least significant bit
// first, held first-bit-most-significant): written out by hand.
constexpr uint8_t kRevSpace = 0x04;  // ' ' 0x20
constexpr uint8_t kRev1 = 0x8C;      // '1' 0x31
constexpr uint8_t kRev2 = 0x4C;      // '2' 0x32
constexpr uint8_t kRev3 = 0xCC;      // '3' 0x33
constexpr uint8_t kRevA = 0x82;      // 'A' 0x41

uint8_t rev(uint8_t v) {
  uint8_t r = 0;
  for (int b = 0; b < 8; ++b)
    if (v & (1 << b)) r = static_cast<uint8_t>(r | (0x80 >> b));
  return r;
}

std::span<const uint8_t> as_span(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

bytes text_frame(uint8_t fcf, const std::string& text, uint8_t control = 0xC0) {
  bytes f = {0xFF, control, fcf};
  for (auto it = text.rbegin(); it != text.rend(); ++it) f.push_back(rev(static_cast<uint8_t>(*it)));
  return f;
}

bytes address_frame(uint8_t fcf, uint8_t type, const std::string& text, int length_octet = -1) {
  bytes f = {0xFF,      0xC0,
             fcf,       0x00,
             rev(type), rev(static_cast<uint8_t>(length_octet < 0 ? text.size() : static_cast<size_t>(length_octet)))};
  for (char c : text) f.push_back(rev(static_cast<uint8_t>(c)));
  return f;
}

const bytes kDisFinal = {0xFF, 0xC8, 0x01, 0x00, 0x40, 0x00};
const bytes kDcsFinal = {0xFF, 0xC8, 0xC1, 0x00, 0x40, 0x00};

struct frame_list {
  std::vector<bytes> frames;
  std::vector<std::span<const uint8_t>> spans;
  explicit frame_list(std::vector<bytes> f) : frames(std::move(f)) {
    for (const bytes& b : frames) spans.emplace_back(b.data(), b.size());
  }
};

// ---------------------------------------------------------------------------
// T30_SETPARM_RQ

TEST(T30SetParm, TextItems) {
  struct Case {
    uint16_t selector;
    std::string data;
    std::string stored;
  };
  const Case cases[] = {
      {20, "1234                ", "1234"},
      {21, "+49 89 1234", "+49 89 1234"},
      {20, "                    ", ""},
      {20, "123456789012345678901234", "12345678901234567890"},
      {20, "1234567890123456789 X", "1234567890123456789"},
      {22, "sub  ", "sub"},
      {23, "secret", "secret"},
      {24, "sep", "sep"},
      {25, "psa", "psa"},
  };
  for (const Case& k : cases) {
    t30_local_params p;
    EXPECT_TRUE(t30_setparm(p, k.selector, as_span(k.data)));
    const t30_text& t = k.selector <= 21   ? p.identity
                        : k.selector == 22 ? p.subaddress
                        : k.selector == 23 ? p.password
                        : k.selector == 24 ? p.sep
                                           : p.psa;
    EXPECT_EQ(t.view(), k.stored) << k.selector << " '" << k.data << "'";
  }
}

TEST(T30SetParm, NonStandardDataAndAddresses) {
  t30_local_params p;
  const bytes nsd(60, 0xA5);
  EXPECT_TRUE(t30_setparm(p, 18, nsd));
  EXPECT_EQ(p.nsd_length, 50);
  EXPECT_EQ(p.nsd[49], 0xA5);

  bytes addr = {0x07, 5, 'a', 'b', 'c', 'd', 'e'};
  EXPECT_TRUE(t30_setparm(p, 27, addr));
  EXPECT_EQ(p.address[1].type, 7);
  EXPECT_EQ(p.address[1].length, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p.address[1].text), 5), "abcde");

  // A length of 77 or more is taken as 77.
  bytes longer = {0x01, 200};
  longer.resize(2 + 100, 'x');
  EXPECT_TRUE(t30_setparm(p, 26, longer));
  EXPECT_EQ(p.address[0].length, 77);

  // A length octet beyond the data given is cut to the data.
  const bytes short_text = {0x02, 40, 'h', 'i'};
  EXPECT_TRUE(t30_setparm(p, 28, short_text));
  EXPECT_EQ(p.address[2].length, 2);
  EXPECT_TRUE(t30_setparm(p, 28, bytes{0x02}));
  EXPECT_EQ(p.address[2].length, 0);
}

TEST(T30SetParm, SelectorsOutsideTheRangeAreIgnored) {
  t30_local_params p;
  t30_setparm(p, 20, as_span(std::string("kept")));
  for (uint16_t sel : {0, 16, 29, 0xFFFF}) EXPECT_FALSE(t30_setparm(p, sel, as_span(std::string("x"))));
  EXPECT_EQ(p.identity.view(), "kept");
}

// ---------------------------------------------------------------------------
// Frames written.

TEST(T30IdentFrames, TextFrameIsReversedAndSpaceFilled) {
  t30_text t;
  t.text[0] = '1';
  t.text[1] = '2';
  t.length = 2;
  uint8_t out[T30_TEXT_FRAME_SIZE];
  t30_ident__write_text_frame(out, 0xC0, T30_FCF_CSI, t);
  bytes want = {0xFF, 0xC0, 0x02, kRev2, kRev1};
  want.resize(T30_TEXT_FRAME_SIZE, kRevSpace);
  EXPECT_EQ(bytes(out, out + sizeof out), want);
}

TEST(T30IdentFrames, AddressFrame) {
  t30_address a;
  a.type = 0x03;
  a.length = 2;
  a.text[0] = 'A';
  a.text[1] = '3';
  EXPECT_EQ(t30_ident__address_frame_size(a), 8u);
  uint8_t out[8];
  t30_ident__write_address_frame(out, 0xC0, T30_FCF_TSA, a);
  EXPECT_EQ(bytes(out, out + 8), (bytes{0xFF, 0xC0, 0x46, 0x00, 0xC0, 0x40, kRevA, kRev3}));
}

// ---------------------------------------------------------------------------
// Frame sets built.

t30_local_params full_params() {
  t30_local_params p;
  t30_setparm(p, 17, bytes{0xAD, 0x00, 0x55});
  t30_setparm(p, 20, as_span(std::string("12")));
  t30_setparm(p, 22, as_span(std::string("3")));
  t30_setparm(p, 23, as_span(std::string("pw")));
  t30_setparm(p, 24, as_span(std::string("sep")));
  t30_setparm(p, 25, as_span(std::string("psa")));
  t30_setparm(p, 26, bytes{1, 2, 'a', 'b'});
  t30_setparm(p, 27, bytes{2, 1, 'i'});
  t30_setparm(p, 28, bytes{3, 1, 'r'});
  return p;
}

t30_capability all_flags() {
  t30_capability c = t30_cap__defaults();
  c.service = T30_SVC_TRANSMIT;
  c.internet_fax_mode = 2;
  c.isp = 1;
  c.ira = 1;
  t30_cap__choose(c);
  return c;
}

std::vector<std::pair<uint8_t, uint8_t>> fcf_and_control(const t30_frame_set& s) {
  std::vector<std::pair<uint8_t, uint8_t>> out;
  for (size_t i = 0; i < s.count; ++i) out.emplace_back(s.frame(i)[2], s.frame(i)[1]);
  return out;
}

TEST(T30FrameSet, OrderOfEachKind) {
  using P = std::vector<std::pair<uint8_t, uint8_t>>;
  struct Case {
    t30_set_kind kind;
    t30_build_options opt;
    P want;
  };
  t30_build_options dis_seen;
  dis_seen.dis_received = true;
  t30_build_options dcs_seen;
  dcs_seen.dcs_received = true;
  dis_seen.fif.dcs_modulation = dcs_seen.fif.dcs_modulation = 0x1840;
  const Case cases[] = {
      {t30_set_kind::dis, {}, P{{0x04, 0xC0}, {0x02, 0xC0}, {0x01, 0xC8}}},
      {t30_set_kind::dtc,
       {},
       P{{0x84, 0xC0},
         {0x82, 0xC0},
         {0x83, 0xC0},
         {0x85, 0xC0},
         {0x86, 0xC0},
         {0x87, 0xC0},
         {0x88, 0xC0},
         {0x81, 0xC8}}},
      // A DCS set carries the X bit after a DIS, or before any DCS came.
      {t30_set_kind::dcs, dis_seen,
       P{{0xC2, 0xC0}, {0xC3, 0xC0}, {0xC5, 0xC0}, {0xC6, 0xC0}, {0xC7, 0xC0}, {0xC1, 0xC8}}},
      {t30_set_kind::dcs, dcs_seen,
       P{{0x42, 0xC0}, {0x43, 0xC0}, {0x45, 0xC0}, {0x46, 0xC0}, {0x47, 0xC0}, {0x41, 0xC8}}},
      {t30_set_kind::cfr, dis_seen, P{{0xA4, 0xC0}, {0xA1, 0xC8}}},
      {t30_set_kind::cfr, {}, P{{0x24, 0xC0}, {0x21, 0xC8}}},
  };
  for (const Case& k : cases) {
    t30_build_options opt = k.opt;
    if (opt.fif.dcs_modulation == 0) opt.fif.dcs_modulation = 0x1840;
    t30_frame_set s;
    ASSERT_EQ(t30_build_set(k.kind, all_flags(), full_params(), opt, s), t30_build_status::ok);
    EXPECT_EQ(fcf_and_control(s), k.want) << int(k.kind);
    EXPECT_EQ(s.final_class, static_cast<uint8_t>(k.kind));
    size_t total = 0;
    for (size_t i = 0; i < s.count; ++i) total += s.frame(i).size();
    EXPECT_EQ(total, s.used);
  }
}

TEST(T30FrameSet, OptionalFramesNeedFlagAndItem) {
  t30_capability r = all_flags();
  r.subaddress = 0;
  r.password = 0;
  r.ira = 0;
  r.internet_fax_mode = 0;
  t30_build_options opt;
  opt.fif.dcs_modulation = 0x1840;
  t30_frame_set s;
  ASSERT_EQ(t30_build_set(t30_set_kind::dcs, r, full_params(), opt, s), t30_build_status::ok);
  EXPECT_EQ(s.count, 2);  // TSI, DCS
  t30_local_params bare;
  ASSERT_EQ(t30_build_set(t30_set_kind::dis, all_flags(), bare, opt, s), t30_build_status::ok);
  EXPECT_EQ(s.count, 1);
  r.t37 = 1;  // T.37 alone also asks for the address frame
  ASSERT_EQ(t30_build_set(t30_set_kind::dcs, r, full_params(), opt, s), t30_build_status::ok);
  EXPECT_EQ(s.count, 3);
  EXPECT_EQ(s.frame(1)[2], 0xC6);
}

TEST(T30FrameSet, FrameContents) {
  t30_build_options opt;
  opt.fif.dcs_modulation = 0x1840;
  t30_frame_set s;
  ASSERT_EQ(t30_build_set(t30_set_kind::dis, all_flags(), full_params(), opt, s), t30_build_status::ok);
  EXPECT_EQ(bytes(s.frame(0).begin(), s.frame(0).end()), (bytes{0xFF, 0xC0, 0x04, 0xAD, 0x00, 0x55}));
  bytes csi = {0xFF, 0xC0, 0x02, kRev2, kRev1};
  csi.resize(23, kRevSpace);
  EXPECT_EQ(bytes(s.frame(1).begin(), s.frame(1).end()), csi);
  const auto dis = s.frame(2);
  const auto fif = t30_cap__build_fif(t30_set_kind::dis, all_flags(), opt.fif);
  EXPECT_EQ(bytes(dis.begin() + 3, dis.end()), bytes(fif->view().begin(), fif->view().end()));
}

TEST(T30FrameSet, SizeLimit) {
  t30_local_params p = full_params();
  t30_setparm(p, 17, bytes(50, 0x11));
  bytes long_addr = {1, 77};
  long_addr.resize(79, 'z');
  t30_setparm(p, 26, long_addr);
  t30_setparm(p, 27, long_addr);
  t30_capability r = all_flags();
  r.service = T30_SVC_POLL;
  // NSC 53 + CIG, PWD, SEP, PSA 4 x 23 + CIA 83 + ISP 83 passes 310.
  t30_frame_set s;
  EXPECT_EQ(t30_build_set(t30_set_kind::dtc, r, p, {}, s), t30_build_status::too_long);
  EXPECT_EQ(s.count, 0);

  // The address frame asks for 83 octets of room whatever its own length:
  // 53 + 4 x 23 + 83 = 228 so far; a 2-octet ISP (8 octets) would fit but
  // 228 + 83 passes 310.
  t30_setparm(p, 27, bytes{2, 2, 'i', 'j'});
  EXPECT_EQ(t30_build_set(t30_set_kind::dtc, r, p, {}, s), t30_build_status::too_long);
  r.isp = 0;
  EXPECT_EQ(t30_build_set(t30_set_kind::dtc, r, p, {}, s), t30_build_status::ok);
  EXPECT_LE(s.used, 310);
}

TEST(T30FrameSet, DcsWithoutRateCode) {
  t30_build_options opt;
  opt.fif.dcs_modulation = 0x1802;
  t30_frame_set s;
  EXPECT_EQ(t30_build_set(t30_set_kind::dcs, all_flags(), full_params(), opt, s), t30_build_status::no_rate_code);
  EXPECT_EQ(t30_build_set(t30_set_kind::nss, all_flags(), full_params(), opt, s), t30_build_status::bad_kind);
}

// ---------------------------------------------------------------------------
// Received sets.

TEST(T30RxSet, IdentityAndDis) {
  frame_list set({text_frame(0x02, "+49 89 1234"), kDisFinal});
  t30_remote_ident rx;
  t30_capability remote;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dis, set.spans, rx, remote));
  EXPECT_EQ(rx.identity.view(), "+49 89 1234");
  EXPECT_EQ(remote.service, T30_SVC_RECEIVE);
}

TEST(T30RxSet, TooLongIdentityIsNotStored) {
  frame_list set({text_frame(0x02, std::string(21, '7')), kDisFinal});
  t30_remote_ident rx;
  t30_capability remote;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dis, set.spans, rx, remote));
  EXPECT_EQ(rx.identity.length, 0);
  frame_list ok({text_frame(0x02, std::string(20, '7')), kDisFinal});
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dis, ok.spans, rx, remote));
  EXPECT_EQ(rx.identity.view(), std::string(20, '7'));
}

TEST(T30RxSet, DcsSetItemsAndRemoteFlags) {
  frame_list set({text_frame(0xC2, "5551234"), text_frame(0xC3, "42"), text_frame(0xC5, "pw"),
                  address_frame(0xC6, 5, "host.example"), address_frame(0xC7, 6, "ira"), kDcsFinal});
  t30_remote_ident rx;
  t30_capability remote;
  bool ftt = true;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dcs, set.spans, rx, remote, &ftt));
  EXPECT_FALSE(ftt);
  EXPECT_EQ(rx.identity.view(), "5551234");
  EXPECT_EQ(rx.subaddress.view(), "42");
  EXPECT_EQ(rx.password.view(), "pw");
  EXPECT_EQ(rx.address[0].type, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rx.address[0].text), rx.address[0].length), "host.example");
  EXPECT_EQ(rx.address[2].length, 3);
  EXPECT_EQ(rx.present, T30_RX_SUBADDRESS | T30_RX_PASSWORD | T30_RX_ADDRESS | T30_RX_IRA);
  EXPECT_EQ(remote.subaddress, 1);
  EXPECT_EQ(remote.password, 1);
  EXPECT_EQ(remote.ira, 1);
  EXPECT_EQ(remote.service, T30_SVC_TRANSMIT);
}

TEST(T30RxSet, DtcSetItems) {
  frame_list set({bytes{0xFF, 0xC0, 0x84, 1, 2, 3}, text_frame(0x82, "9"), text_frame(0x83, "pwd"),
                  text_frame(0x85, "sep"), text_frame(0x86, "psa"), address_frame(0x87, 1, "cia"),
                  address_frame(0x88, 2, "isp"), bytes{0xFF, 0xC8, 0x81, 0x00, 0x40, 0x00}});
  t30_remote_ident rx;
  t30_capability remote;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dtc, set.spans, rx, remote));
  EXPECT_EQ(rx.nsd_length, 3);
  EXPECT_EQ(rx.sep.view(), "sep");
  EXPECT_EQ(rx.psa.view(), "psa");
  EXPECT_EQ(rx.present, T30_RX_NSD | T30_RX_PASSWORD | T30_RX_SEP | T30_RX_PSA | T30_RX_ADDRESS | T30_RX_ISP);
  EXPECT_EQ(remote.selective_polling, 1);
  EXPECT_EQ(remote.polled_subaddress, 1);
  EXPECT_EQ(remote.isp, 1);
  EXPECT_EQ(remote.service, T30_SVC_POLL);
}

TEST(T30RxSet, BadAddressFramesAreIgnored) {
  struct Case {
    const char* name;
    bytes frame;
  };
  bytes long_text = address_frame(0x46, 1, std::string(78, 'q'));
  const Case cases[] = {
      {"length disagrees with the frame", address_frame(0x46, 1, "abc", 4)},
      {"length shorter than the text", address_frame(0x46, 1, "abc", 2)},
      {"text over 77", long_text},
      {"no length octet", bytes{0xFF, 0xC0, 0x46, 0x00, 0x80}},
  };
  for (const Case& k : cases) {
    frame_list set({k.frame, kDcsFinal});
    t30_remote_ident rx;
    t30_capability remote;
    ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dcs, set.spans, rx, remote)) << k.name;
    EXPECT_EQ(rx.present & T30_RX_ADDRESS, 0) << k.name;
  }
}

TEST(T30RxSet, UnknownFrameEndsTheOptionalFrames) {
  frame_list set({text_frame(0x43, "1"), bytes{0xFF, 0xC0, 0x5F}, text_frame(0x45, "pw"), kDcsFinal});
  t30_remote_ident rx;
  t30_capability remote;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dcs, set.spans, rx, remote));
  EXPECT_EQ(rx.present, T30_RX_SUBADDRESS);
}

TEST(T30RxSet, FailedFinalFrameTakesNothing) {
  // DCS width bits 3.
  frame_list set({text_frame(0x42, "5551234"), bytes{0xFF, 0xC8, 0x41, 0x00, 0x40, 0xC0}});
  t30_remote_ident rx;
  t30_capability remote = t30_cap__defaults();
  EXPECT_FALSE(t30_ident__parse_set(t30_set_kind::dcs, set.spans, rx, remote));
  EXPECT_TRUE(remote.empty());
  EXPECT_EQ(rx.identity.length, 0);
  // A final frame with fewer than 3 FIF octets.
  frame_list short_set({bytes{0xFF, 0xC8, 0x01, 0x00}});
  EXPECT_FALSE(t30_ident__parse_set(t30_set_kind::dis, short_set.spans, rx, remote));
  frame_list empty({});
  EXPECT_FALSE(t30_ident__parse_set(t30_set_kind::dis, empty.spans, rx, remote));
}

TEST(T30RxSet, NssSetAndTrainingMark) {
  frame_list nss({text_frame(0x42, "7"), bytes{0xFF, 0xC8, 0xC4, 0x10, 0x20}});
  t30_remote_ident rx;
  t30_capability remote;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::nss, nss.spans, rx, remote));
  EXPECT_EQ(rx.identity.view(), "7");
  EXPECT_EQ(rx.nsd_length, 2);

  frame_list v33({bytes{0xFF, 0xC8, 0x41, 0x00, 0x48, 0x00}});  // rate value 2
  bool ftt = false;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dcs, v33.spans, rx, remote, &ftt));
  EXPECT_TRUE(ftt);
}

TEST(T30RxSet, BuiltSetsReadBack) {
  t30_build_options opt;
  opt.fif.dcs_modulation = 0x1210;
  t30_frame_set s;
  ASSERT_EQ(t30_build_set(t30_set_kind::dcs, all_flags(), full_params(), opt, s), t30_build_status::ok);
  std::vector<std::span<const uint8_t>> spans;
  for (size_t i = 0; i < s.count; ++i) spans.push_back(s.frame(i));
  t30_remote_ident rx;
  t30_capability remote;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dcs, spans, rx, remote));
  EXPECT_EQ(rx.identity.view(), std::string(18, ' ') + "12");  // as received, space-filled
  EXPECT_EQ(rx.subaddress.view(), std::string(19, ' ') + "3");
  EXPECT_EQ(rx.address[0].length, 2);
  EXPECT_EQ(rx.address[2].text[0], 'r');
  EXPECT_EQ(remote.modulation, 0x1210);
}

// ---------------------------------------------------------------------------
// Progress reports.

TEST(T30Progress, ItemsBySetKind) {
  frame_list set({bytes{0xFF, 0xC0, 0x84, 9}, text_frame(0x82, "id"), text_frame(0x43, "sub"), text_frame(0x83, "pw"),
                  text_frame(0x85, "sep"), text_frame(0x86, "psa"), address_frame(0x87, 1, "a"),
                  address_frame(0x88, 2, "b"), address_frame(0x47, 3, "c")});
  t30_remote_ident rx;
  t30_capability remote;
  t30_ident__take_optional(set.spans, rx, remote);
  struct Case {
    t30_set_kind kind;
    std::vector<uint8_t> subcodes;
  };
  const Case cases[] = {
      {t30_set_kind::dis, {1, 4}},
      {t30_set_kind::dtc, {2, 4, 6, 7, 8, 9, 10}},
      {t30_set_kind::dcs, {4, 5, 6, 9, 11}},
      {t30_set_kind::nss, {3}},
      {t30_set_kind::cfr, {9}},
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> got;
    for (const auto& it : t30_ident__progress(rx, k.kind)) got.push_back(it.subcode);
    EXPECT_EQ(got, k.subcodes) << int(k.kind);
  }
  const auto items = t30_ident__progress(rx, t30_set_kind::dtc);
  EXPECT_EQ(items[1].data, (bytes{'i', 'd'}));
  ASSERT_EQ(items[5].data.size(), T30_ADDRESS_RECORD_SIZE);
  EXPECT_EQ(items[5].data[0], 1);
  EXPECT_EQ(items[5].data[1], 1);
  EXPECT_EQ(items[5].data[2], 'a');
  EXPECT_EQ(items[5].data[3], 0);

  // Empty items are not reported.
  EXPECT_TRUE(t30_ident__progress(t30_remote_ident{}, t30_set_kind::dtc).empty());
}

}  // namespace
