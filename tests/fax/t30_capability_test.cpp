// Capability record, DIS/DTC/DCS FIF codec and negotiation rules. The FIF
// vectors below are written from the bit numbering of ITU-T T.30 Table 2
// (bit n in octet (n-1)/8 under 0x80 >> ((n-1) % 8)).
#include "fax/t30_capability.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// Sets FIF bits by their T.30 numbers; extension bits are added for every
// octet up to the last non-empty one.
bytes fif_with_bits(std::initializer_list<unsigned> bits, size_t min_octets = 3) {
  bytes f(min_octets, 0);
  for (unsigned b : bits) {
    const size_t i = (b - 1) / 8;
    if (f.size() <= i) f.resize(i + 1, 0);
    f[i] |= static_cast<uint8_t>(0x80u >> ((b - 1) % 8));
  }
  for (size_t i = 2; i + 1 < f.size(); ++i) f[i] |= 0x01;
  return f;
}

t30_capability parse_ok(t30_set_kind kind, const bytes& fif) {
  // A heap copy of exactly the given length, so that a read past it shows up
  // under AddressSanitizer.
  auto buf = std::make_unique<uint8_t[]>(fif.size());
  std::copy(fif.begin(), fif.end(), buf.get());
  auto p = t30_cap__parse_fif(kind, {buf.get(), fif.size()});
  EXPECT_TRUE(p.has_value());
  return p ? p->cap : t30_capability{};
}

// ---------------------------------------------------------------------------
// Parsing.

TEST(T30CapParse, DisWithV17EcmAndMmr) {
  // Bit 10 receive; rate 1101 (bits 11, 12, 14); bit 15 fine; bit 16 2-D;
  // bits 17-18 = 01 (all widths); bits 19-20 = 01 (unlimited); bits 21-23 =
  // 111 (0 ms); bit 27 ECM; bit 31 T.6.
  const bytes fif = {0x00, 0x77, 0x5F, 0x22};
  const t30_capability c = parse_ok(t30_set_kind::dis, fif);
  EXPECT_EQ(c.service, T30_SVC_RECEIVE);
  EXPECT_EQ(c.modulation, 0x1B7E);
  EXPECT_EQ(c.resolution, T30_RES_NORMAL | T30_RES_FINE);
  EXPECT_EQ(c.coding, T30_CODING_MH | T30_CODING_MR | T30_CODING_MMR);
  EXPECT_EQ(c.width, 7);
  EXPECT_EQ(c.length, 7);
  EXPECT_EQ(c.scan_time, 0);
  EXPECT_EQ(c.ecm, 3);
  EXPECT_EQ(c.ecm_frame_size, 3);
}

TEST(T30CapParse, DisRateValues) {
  struct Case {
    uint8_t rate_bits;  // octet 2 mask 0x3C
    uint16_t modulation;
  };
  const Case cases[] = {
      {0x00, 0x1102}, {0x10, 0x1106}, {0x20, 0x1218}, {0x30, 0x131E},
      {0x34, 0x1B7E}, {0x38, 0x131E}, {0x04, 0x1102}, {0x3C, 0x1102},
  };
  for (const Case& k : cases) {
    const bytes fif = {0x00, static_cast<uint8_t>(0x40 | k.rate_bits), 0x00};
    EXPECT_EQ(parse_ok(t30_set_kind::dis, fif).modulation, k.modulation) << int(k.rate_bits);
  }
}

TEST(T30CapParse, DcsRateValuesAndTrainingMark) {
  struct Case {
    uint8_t value;  // bits 11-14 as a number
    uint16_t modulation;
    bool force_ftt;
  };
  const Case cases[] = {
      {0, 0x1102, false}, {1, 0x1840, false},  {2, 0x1840, true},   {3, 0x1102, false},
      {4, 0x1104, false}, {5, 0x1820, false},  {6, 0x1820, true},   {8, 0x1210, false},
      {9, 0x1810, false}, {12, 0x1208, false}, {13, 0x1808, false}, {15, 0x1102, false},
  };
  for (const Case& k : cases) {
    const uint8_t o2 = static_cast<uint8_t>(0x40 | (k.value << 2));
    const bytes fif = {0x00, o2, 0x00};
    auto p = t30_cap__parse_fif(t30_set_kind::dcs, fif);
    ASSERT_TRUE(p) << int(k.value);
    EXPECT_EQ(p->cap.modulation, k.modulation) << int(k.value);
    EXPECT_EQ(p->force_ftt, k.force_ftt) << int(k.value);
    EXPECT_EQ(p->cap.service, T30_SVC_TRANSMIT);
  }
}

TEST(T30CapParse, ServiceBits) {
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({10})).service, T30_SVC_RECEIVE);
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({9, 10})).service, T30_SVC_RECEIVE | T30_SVC_POLL);
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({9})).service, T30_SVC_POLL);
  EXPECT_EQ(parse_ok(t30_set_kind::dtc, fif_with_bits({10})).service, T30_SVC_POLL);
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({})).service, 0);
  EXPECT_EQ(parse_ok(t30_set_kind::dcs, fif_with_bits({9, 10})).service, T30_SVC_TRANSMIT);
}

TEST(T30CapParse, WidthLengthScanTables) {
  struct Case {
    t30_set_kind kind;
    uint8_t octet3;
    bool ok;
    uint8_t width, length, scan;
  };
  using K = t30_set_kind;
  const Case cases[] = {
      // width (bits 17-18)
      {K::dis, 0x00, true, 1, 1, 5},
      {K::dis, 0x40, true, 7, 1, 5},
      {K::dis, 0x80, true, 3, 1, 5},
      {K::dis, 0xC0, true, 7, 1, 5},
      {K::dcs, 0x40, true, 4, 1, 5},
      {K::dcs, 0x80, true, 2, 1, 5},
      {K::dcs, 0xC0, false, 0, 0, 0},
      // length (bits 19-20)
      {K::dis, 0x10, true, 1, 7, 5},
      {K::dis, 0x20, true, 1, 3, 5},
      {K::dis, 0x30, false, 0, 0, 0},
      {K::dcs, 0x10, true, 1, 4, 5},
      {K::dcs, 0x20, true, 1, 2, 5},
      {K::dcs, 0x30, false, 0, 0, 0},
      // scan time (bits 21-23): 000 20 ms, 001 40, 010 10, 011 10/5, 100 5,
      // 101 40/20, 110 20/10, 111 0
      {K::dis, 0x02, true, 1, 1, 7},
      {K::dis, 0x04, true, 1, 1, 3},
      {K::dis, 0x06, true, 1, 1, 2},
      {K::dis, 0x08, true, 1, 1, 1},
      {K::dis, 0x0A, true, 1, 1, 6},
      {K::dis, 0x0C, true, 1, 1, 4},
      {K::dis, 0x0E, true, 1, 1, 0},
      {K::dcs, 0x08, true, 1, 1, 1},
      {K::dcs, 0x0E, true, 1, 1, 0},
      {K::dcs, 0x04, true, 1, 1, 3},
      {K::dcs, 0x06, false, 0, 0, 0},
      {K::dcs, 0x0A, false, 0, 0, 0},
      {K::dcs, 0x0C, false, 0, 0, 0},
  };
  for (const Case& k : cases) {
    const bytes fif = {0x00, 0x40, k.octet3};
    auto p = t30_cap__parse_fif(k.kind, fif);
    ASSERT_EQ(p.has_value(), k.ok) << int(k.octet3);
    if (!p) continue;
    EXPECT_EQ(p->cap.width, k.width) << int(k.octet3);
    EXPECT_EQ(p->cap.length, k.length) << int(k.octet3);
    EXPECT_EQ(p->cap.scan_time, k.scan) << int(k.octet3);
  }
}

TEST(T30CapParse, ResolutionCodingAndFlagBits) {
  const t30_capability d = parse_ok(t30_set_kind::dis, fif_with_bits({10, 35, 41,  42,  43,  45,  47,  49,  50,  76, 77,
                                                                      78, 79, 101, 102, 105, 106, 107, 108, 109, 123}));
  EXPECT_EQ(d.resolution, 0x3FD);  // everything but fine
  EXPECT_EQ(d.coding, T30_CODING_MH | T30_CODING_T85);
  EXPECT_EQ(d.polled_subaddress, 1);
  EXPECT_EQ(d.unit_preference, 1);
  EXPECT_EQ(d.selective_polling, 1);
  EXPECT_EQ(d.subaddress, 1);
  EXPECT_EQ(d.password, 1);
  EXPECT_EQ(d.letter, 1);
  EXPECT_EQ(d.legal, 1);
  EXPECT_EQ(d.t85_l0, 1);
  EXPECT_EQ(d.isp, 1);
  EXPECT_EQ(d.ira, 1);
  EXPECT_EQ(d.internet_fax_mode, 1);

  // Unit preference: DIS bit 44 alone is inch, nothing is 0; a DCS without
  // bit 44 is metric.
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({44})).unit_preference, 2);
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({44, 45})).unit_preference, 1);
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({})).unit_preference, 0);
  EXPECT_EQ(parse_ok(t30_set_kind::dcs, fif_with_bits({})).unit_preference, 1);
  EXPECT_EQ(parse_ok(t30_set_kind::dcs, fif_with_bits({44})).unit_preference, 2);

  // L0 needs bit 78.
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({79})).t85_l0, 0);

  // A DCS names exactly one coding and keeps exactly the resolutions it names.
  const t30_capability s = parse_ok(t30_set_kind::dcs, fif_with_bits({15, 16, 31}));
  EXPECT_EQ(s.coding, T30_CODING_MMR);
  EXPECT_EQ(s.resolution, T30_RES_FINE);
  EXPECT_EQ(parse_ok(t30_set_kind::dcs, fif_with_bits({16})).coding, T30_CODING_MR);
  EXPECT_EQ(parse_ok(t30_set_kind::dcs, fif_with_bits({31, 78})).coding, T30_CODING_T85);
  EXPECT_EQ(parse_ok(t30_set_kind::dcs, fif_with_bits({})).resolution, T30_RES_NORMAL);
  EXPECT_EQ(parse_ok(t30_set_kind::dcs, fif_with_bits({42})).resolution, T30_RES_300);
  // A DIS always includes normal resolution.
  EXPECT_EQ(parse_ok(t30_set_kind::dis, fif_with_bits({42})).resolution, T30_RES_300 | T30_RES_NORMAL);
}

TEST(T30CapParse, DcsEcmFrameSize) {
  const t30_capability e64 = parse_ok(t30_set_kind::dcs, fif_with_bits({27, 28}));
  EXPECT_EQ(e64.ecm, 3);
  EXPECT_EQ(e64.ecm_frame_size, 1);
  const t30_capability e256 = parse_ok(t30_set_kind::dcs, fif_with_bits({27}));
  EXPECT_EQ(e256.ecm_frame_size, 2);
  const t30_capability none = parse_ok(t30_set_kind::dcs, fif_with_bits({28}));
  EXPECT_EQ(none.ecm, 0);
  EXPECT_EQ(none.ecm_frame_size, 0);
}

TEST(T30CapParse, ShortFramesAndWrongKindsAreRefused) {
  EXPECT_FALSE(t30_cap__parse_fif(t30_set_kind::dis, bytes{}));
  EXPECT_FALSE(t30_cap__parse_fif(t30_set_kind::dis, bytes{0x00, 0x40}));
  EXPECT_FALSE(t30_cap__parse_fif(t30_set_kind::dcs, bytes{0x00}));
  EXPECT_FALSE(t30_cap__parse_fif(t30_set_kind::cfr, bytes{0x00, 0x40, 0x00}));
  EXPECT_FALSE(t30_cap__parse_fif(t30_set_kind::nss, bytes{0x00, 0x40, 0x00}));
}

TEST(T30CapParse, ExtensionBitsFollowedOnlyWithinTheFrame) {
  // Octet 3 announces a fourth octet that the frame does not hold: nothing
  // past the frame is read (AddressSanitizer watches the exact-size copy).
  EXPECT_EQ(parse_ok(t30_set_kind::dis, bytes{0x00, 0x40, 0x01}).ecm, 0);
  // Every octet announces another one, up to the end of the frame.
  bytes all_ext(10, 0x01);
  all_ext[1] = 0x40;
  all_ext[9] = 0x01;
  EXPECT_EQ(parse_ok(t30_set_kind::dis, all_ext).service, T30_SVC_RECEIVE);

  // Octets after the one without extension bit are not read.
  bytes stop = fif_with_bits({10, 41});
  stop[2] &= 0xFE;  // octet 3 ends the FIF
  EXPECT_EQ(parse_ok(t30_set_kind::dis, stop).resolution, T30_RES_NORMAL);

  // At most 16 octets are read even when the frame goes on.
  bytes longer(20, 0x01);
  longer[1] = 0x40;
  longer[15] = 0x20;  // bit 123
  longer[16] = 0xFF;  // would be octet 17
  EXPECT_EQ(parse_ok(t30_set_kind::dis, longer).internet_fax_mode, 1);
}

// ---------------------------------------------------------------------------
// Building.

TEST(T30CapBuild, DefaultsAsDis) {
  // Octet 2: bit 9 (polling), 10, rate 1101, 15, 16. Octet 3: widths all,
  // unlimited length, 0 ms. Octet 4: ECM, T.6. Octet 5: bit 35. Octet 6: bits
  // 41, 42, 43, 47. Octet 7: bits 49, 50. Octet 10: bits 76-79. Octet 14:
  // bits 105-109. Octets 15 and 16 are empty and dropped.
  auto f = t30_cap__build_fif(t30_set_kind::dis, t30_cap__defaults(), {});
  ASSERT_TRUE(f);
  const bytes want = {0x00, 0xF7, 0x5F, 0x23, 0x21, 0xE3, 0xC1, 0x01, 0x01, 0x1F, 0x01, 0x01, 0x01, 0xF8};
  EXPECT_EQ(bytes(f->view().begin(), f->view().end()), want);
}

t30_capability chosen_dcs_record() {
  t30_capability c;
  c.service = T30_SVC_TRANSMIT;
  c.modulation = 0x1B7E;
  c.resolution = T30_RES_FINE;
  c.coding = T30_CODING_MR;
  c.width = T30_WIDTH_A4;
  c.length = T30_LENGTH_A4;
  c.scan_time = 3;
  return c;
}

TEST(T30CapBuild, DcsShortestForm) {
  t30_fif_options o;
  o.dcs_modulation = 0x1840;
  auto f = t30_cap__build_fif(t30_set_kind::dcs, chosen_dcs_record(), o);
  ASSERT_TRUE(f);
  // Bit 10, V.17 14400 (0001), fine, 2-D; A4, A4, 10 ms (010); shortened to
  // three octets with the extension bit of the last cleared.
  EXPECT_EQ(bytes(f->view().begin(), f->view().end()), (bytes{0x00, 0x47, 0x04}));
}

TEST(T30CapBuild, DcsOctetsByField) {
  struct Case {
    const char* name;
    void (*edit)(t30_capability&, t30_fif_options&);
    bytes want;
  };
  const Case cases[] = {
      {"ecm 64",
       [](t30_capability& c, t30_fif_options&) {
         c.ecm = 1;
         c.ecm_frame_size = 1;
       },
       {0x00, 0x47, 0x0F, 0x30}},
      {"ecm 256",
       [](t30_capability& c, t30_fif_options&) {
         c.ecm = 2;
         c.ecm_frame_size = 2;
       },
       {0x00, 0x47, 0x0F, 0x20}},
      {"mmr",
       [](t30_capability& c, t30_fif_options&) {
         c.coding = T30_CODING_MMR;
         c.ecm = 2;
         c.ecm_frame_size = 2;
       },
       {0x00, 0x46, 0x0F, 0x22}},
      {"v29 7200", [](t30_capability&, t30_fif_options& o) { o.dcs_modulation = 0x1208; }, {0x00, 0x73, 0x04}},
      {"v27 2400", [](t30_capability&, t30_fif_options& o) { o.dcs_modulation = 0x1102; }, {0x00, 0x43, 0x04}},
      {"poll",
       [](t30_capability& c, t30_fif_options&) {
         c.service |= T30_SVC_POLL;
         c.polled_subaddress = 1;
         c.selective_polling = 1;
       },
       {0x00, 0x47, 0x05, 0x01, 0x21, 0x02}},
      {"no poll flags",
       [](t30_capability& c, t30_fif_options&) {
         c.polled_subaddress = 1;
         c.selective_polling = 1;
       },
       {0x00, 0x47, 0x04}},
      {"b4 unlimited",
       [](t30_capability& c, t30_fif_options&) {
         c.width = T30_WIDTH_B4;
         c.length = T30_LENGTH_UNLIMITED;
       },
       {0x00, 0x47, 0x94}},
      {"a3 b4-length",
       [](t30_capability& c, t30_fif_options&) {
         c.width = T30_WIDTH_A3;
         c.length = T30_LENGTH_B4;
       },
       {0x00, 0x47, 0x64}},
      {"inch",
       [](t30_capability& c, t30_fif_options&) { c.unit_preference = 2; },
       {0x00, 0x47, 0x05, 0x01, 0x01, 0x10}},
      {"metric not in dcs", [](t30_capability& c, t30_fif_options&) { c.unit_preference = 1; }, {0x00, 0x47, 0x04}},
      {"subaddress",
       [](t30_capability& c, t30_fif_options&) {
         c.subaddress = 1;
         c.password = 1;
       },
       {0x00, 0x47, 0x05, 0x01, 0x01, 0x01, 0xC0}},
      {"1200",
       [](t30_capability& c, t30_fif_options&) { c.resolution = T30_RES_1200; },
       {0x00, 0x45, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x40}},
      {"ifax 1 has no rate",
       [](t30_capability& c, t30_fif_options&) { c.internet_fax_mode = 1; },
       {0x20, 0x43, 0x05, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x20}},
      {"v34 has no rate", [](t30_capability&, t30_fif_options& o) { o.v34_mode = true; }, {0x00, 0x43, 0x04}},
      {"t37", [](t30_capability& c, t30_fif_options&) { c.t37 = 1; }, {0x80, 0x47, 0x04}},
  };
  for (const Case& k : cases) {
    t30_capability c = chosen_dcs_record();
    t30_fif_options o;
    o.dcs_modulation = 0x1840;
    k.edit(c, o);
    auto f = t30_cap__build_fif(t30_set_kind::dcs, c, o);
    ASSERT_TRUE(f) << k.name;
    EXPECT_EQ(bytes(f->view().begin(), f->view().end()), k.want) << k.name;
  }
}

TEST(T30CapBuild, DisRateBitsBySpeedSet) {
  struct Case {
    uint16_t modulation;
    uint8_t octet2;
  };
  const Case cases[] = {
      {0x1102, 0x40}, {0x1104, 0x50}, {0x1106, 0x50}, {0x1208, 0x70}, {0x1210, 0x60}, {0x1218, 0x60},
      {0x131E, 0x70}, {0x1820, 0x54}, {0x1840, 0x44}, {0x1B7E, 0x74}, {0x1B3E, 0x40},
  };
  for (const Case& k : cases) {
    t30_capability c = chosen_dcs_record();
    c.service = T30_SVC_RECEIVE;
    c.resolution = T30_RES_NORMAL;
    c.coding = T30_CODING_MH;
    c.modulation = k.modulation;
    auto f = t30_cap__build_fif(t30_set_kind::dis, c, {});
    ASSERT_TRUE(f);
    EXPECT_EQ(f->octets[1], k.octet2) << std::hex << k.modulation;
  }
}

TEST(T30CapBuild, HandshakeBitAndV8) {
  t30_capability c = chosen_dcs_record();
  c.service = T30_SVC_RECEIVE;
  t30_fif_options o;
  o.handshake_2400 = true;
  EXPECT_EQ(t30_cap__build_fif(t30_set_kind::dis, c, o)->octets[3] & 0x80, 0x80);
  o.dcs_modulation = 0x1840;
  EXPECT_EQ(t30_cap__build_fif(t30_set_kind::dcs, c, o)->length, 3);  // V.21: no bit 25
  o.command_modulation = T30_MOD_CMD_2400;
  EXPECT_EQ(t30_cap__build_fif(t30_set_kind::dcs, c, o)->octets[3] & 0x80, 0x80);
  t30_fif_options v34;
  v34.v34_mode = true;
  EXPECT_EQ(t30_cap__build_fif(t30_set_kind::dtc, c, v34)->octets[0], 0x04);
}

TEST(T30CapBuild, DcsWithoutRateCodeFails) {
  t30_fif_options o;
  o.dcs_modulation = 0x1802;  // V.17 has no 2400
  EXPECT_FALSE(t30_cap__build_fif(t30_set_kind::dcs, chosen_dcs_record(), o));
  o.dcs_modulation = 0;
  EXPECT_FALSE(t30_cap__build_fif(t30_set_kind::dcs, chosen_dcs_record(), o));
}

TEST(T30CapBuild, BuiltFramesParseBack) {
  // What one side builds, the other reads with the same values (for the
  // fields that the frame kind carries).
  const t30_capability d = t30_cap__defaults();
  auto dis = t30_cap__build_fif(t30_set_kind::dis, d, {});
  const t30_capability back = parse_ok(t30_set_kind::dis, bytes(dis->view().begin(), dis->view().end()));
  EXPECT_EQ(back.service, T30_SVC_RECEIVE | T30_SVC_POLL);
  EXPECT_EQ(back.modulation, 0x1B7E);
  EXPECT_EQ(back.resolution, 0x03FF);
  EXPECT_EQ(back.coding, 0x0F);
  EXPECT_EQ(back.width, 7);
  EXPECT_EQ(back.length, 7);
  EXPECT_EQ(back.scan_time, 0);
  EXPECT_EQ(back.ecm, 3);
  EXPECT_EQ(back.ecm_frame_size, 3);
  EXPECT_EQ(back.t85_l0, 1);

  for (uint8_t scan = 0; scan < 8; ++scan) {
    t30_capability c = chosen_dcs_record();
    c.service = T30_SVC_RECEIVE;
    c.scan_time = scan;
    auto f = t30_cap__build_fif(t30_set_kind::dis, c, {});
    EXPECT_EQ(parse_ok(t30_set_kind::dis, bytes(f->view().begin(), f->view().end())).scan_time, scan);
  }
  const uint16_t speeds[] = {0x1102, 0x1104, 0x1208, 0x1210, 0x1808, 0x1810, 0x1820, 0x1840};
  for (uint16_t m : speeds) {
    t30_fif_options o;
    o.dcs_modulation = m;
    auto f = t30_cap__build_fif(t30_set_kind::dcs, chosen_dcs_record(), o);
    ASSERT_TRUE(f);
    auto p = t30_cap__parse_fif(t30_set_kind::dcs, f->view());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->cap.modulation, m);
  }
}

// ---------------------------------------------------------------------------
// Intersection.

t30_capability dis_record(std::initializer_list<unsigned> bits) {
  return parse_ok(t30_set_kind::dis, fif_with_bits(bits));
}

TEST(T30CapIntersect, DisWithV17AgainstDefaults) {
  const t30_capability remote = parse_ok(t30_set_kind::dis, bytes{0x00, 0x77, 0x5F, 0x22});
  const t30_capability user = t30_neg__on_dis(t30_cap__defaults(), remote);
  EXPECT_EQ(user.service, T30_SVC_RECEIVE);
  EXPECT_EQ(user.modulation, 0x1B7E);
  EXPECT_EQ(user.coding, 0x07);
  EXPECT_EQ(user.ecm, 3);
}

TEST(T30CapIntersect, MmrWithoutEcmFallsToMr) {
  // Both sides offer MMR, the remote without ECM.
  t30_capability remote = dis_record({10, 16, 31});
  const t30_capability x = t30_cap__intersect(t30_cap__defaults(), remote, {false, false, true});
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(x.ecm, 0);
  EXPECT_EQ(x.coding, T30_CODING_MR);
}

TEST(T30CapIntersect, DtcWithB4AloneFailsStrict) {
  t30_capability remote = dis_record({10});
  remote.service = T30_SVC_POLL;
  remote.width = T30_WIDTH_B4;
  t30_capability user = t30_cap__defaults();
  EXPECT_TRUE(t30_neg__on_dtc(user, remote).result.empty());
  // Not strict: valid.
  EXPECT_FALSE(t30_cap__intersect(user, remote, {false, true, false}).empty());
}

TEST(T30CapIntersect, RulesThatEmptyTheResult) {
  struct Case {
    const char* name;
    void (*edit)(t30_capability& l, t30_capability& r);
    t30_cap_switches sw;
    bool empty;
  };
  const Case cases[] = {
      {"no common service", [](t30_capability&, t30_capability& r) { r.service = 0x0030; }, {}, true},
      {"transmit and receive", [](t30_capability& l, t30_capability& r) { l.service = r.service = 0x0300; }, {}, true},
      {"no common speed",
       [](t30_capability& l, t30_capability& r) {
         l.modulation = 0x1102;
         r.modulation = 0x1104;
       },
       {},
       true},
      {"no data bit", [](t30_capability&, t30_capability& r) { r.modulation = 0x0102; }, {}, true},
      {"9600 alone strict",
       [](t30_capability&, t30_capability& r) { r.modulation = 0x1210; },
       {true, false, false},
       true},
      {"9600 alone loose", [](t30_capability&, t30_capability& r) { r.modulation = 0x1210; }, {}, false},
      {"7200+9600 strict",
       [](t30_capability&, t30_capability& r) { r.modulation = 0x1218; },
       {true, false, false},
       false},
      {"no common coding",
       [](t30_capability& l, t30_capability& r) {
         l.coding = 1;
         r.coding = 2;
       },
       {},
       true},
      {"only excluded resolution",
       [](t30_capability& l, t30_capability& r) { l.resolution = r.resolution = 0x400; },
       {},
       true},
      {"no normal strict",
       [](t30_capability&, t30_capability& r) { r.resolution = T30_RES_FINE; },
       {true, false, false},
       true},
      {"no normal loose", [](t30_capability&, t30_capability& r) { r.resolution = T30_RES_FINE; }, {}, false},
      {"A4+A3", [](t30_capability&, t30_capability& r) { r.width = 5; }, {}, true},
      {"B4+A3", [](t30_capability&, t30_capability& r) { r.width = 6; }, {}, true},
      {"A3 alone loose", [](t30_capability&, t30_capability& r) { r.width = 4; }, {}, false},
      {"A3 alone strict", [](t30_capability&, t30_capability& r) { r.width = 4; }, {true, false, false}, true},
      {"unlimited alone strict", [](t30_capability&, t30_capability& r) { r.length = 4; }, {true, false, false}, true},
      {"no length", [](t30_capability&, t30_capability& r) { r.length = 0; }, {}, true},
      {"mmr only without ecm",
       [](t30_capability&, t30_capability& r) {
         r.coding = 4;
         r.ecm = 0;
         r.ecm_frame_size = 0;
       },
       {},
       true},
      // Strict tests only apply when the service holds transmit or poll.
      {"strict without transmit",
       [](t30_capability& l, t30_capability& r) {
         l.service = r.service = T30_SVC_RECEIVE;
         r.modulation = 0x1210;
       },
       {true, false, false},
       false},
  };
  for (const Case& k : cases) {
    t30_capability l = t30_cap__defaults();
    t30_capability r = t30_cap__defaults();
    l.service = r.service = T30_SVC_TRANSMIT;
    k.edit(l, r);
    EXPECT_EQ(t30_cap__intersect(l, r, k.sw).empty(), k.empty) << k.name;
  }
}

TEST(T30CapIntersect, EcmAndFrameSize) {
  struct Case {
    uint8_t l_ecm, l_size, r_ecm, r_size;
    uint8_t ecm, size;
  };
  const Case cases[] = {
      {3, 3, 3, 3, 3, 3}, {3, 3, 3, 1, 1, 1}, {3, 3, 3, 2, 2, 2}, {3, 3, 0, 0, 0, 0},
      {0, 0, 3, 3, 0, 0}, {3, 1, 3, 3, 1, 1}, {3, 2, 3, 1, 1, 1},
  };
  for (const Case& k : cases) {
    t30_capability l = t30_cap__defaults(), r = t30_cap__defaults();
    l.service = r.service = T30_SVC_RECEIVE;
    l.ecm = k.l_ecm;
    l.ecm_frame_size = k.l_size;
    r.ecm = k.r_ecm;
    r.ecm_frame_size = k.r_size;
    const t30_capability x = t30_cap__intersect(l, r, {});
    EXPECT_EQ(x.ecm, k.ecm);
    EXPECT_EQ(x.ecm_frame_size, k.size);
  }
}

TEST(T30CapIntersect, ScanTimeByResolution) {
  struct Case {
    const char* name;
    uint8_t local, remote;
    uint16_t resolution;
    t30_cap_switches sw;
    uint8_t want;  // 0xFE: empty result
  };
  const Case cases[] = {
      {"10/5 both groups", 0, 2, 0x003, {}, 2},
      {"10/5 at fine", 0, 2, 0x002, {}, 1},
      {"10/5 at normal", 0, 2, 0x001, {}, 3},
      {"larger time wins", 7, 1, 0x001, {}, 7},
      {"20/10 vs 10", 3, 4, 0x003, {}, 4},
      {"pair folds to 40/20", 6, 0, 0x003, {}, 6},
      {"40 normal 5 fine", 7, 1, 0x003, {}, 7},
      {"dcs check refuses shorter remote", 5, 3, 0x001, {false, true, false}, 0xFE},
      {"dcs check takes longer remote", 3, 5, 0x001, {false, true, false}, 5},
      {"dcs check fine only", 3, 2, 0x002, {false, true, false}, 0xFE},
      {"not given remote", 3, 255, 0x001, {}, 3},
      {"not given local", 255, 5, 0x001, {false, true, false}, 5},
      {"both not given", 255, 255, 0x001, {}, 0xFE},
  };
  for (const Case& k : cases) {
    t30_capability l = t30_cap__defaults(), r = t30_cap__defaults();
    l.service = r.service = T30_SVC_RECEIVE;
    l.scan_time = k.local;
    r.scan_time = k.remote;
    r.resolution = k.resolution;
    const t30_capability x = t30_cap__intersect(l, r, k.sw);
    if (k.want == 0xFE) {
      EXPECT_TRUE(x.empty()) << k.name;
    } else {
      ASSERT_FALSE(x.empty()) << k.name;
      EXPECT_EQ(x.scan_time, k.want) << k.name;
    }
  }
}

TEST(T30CapIntersect, DcsCheckIgnoresLocalScanWithEcm) {
  t30_capability user = t30_cap__defaults();
  user.scan_time = 5;  // 20 ms asked
  t30_capability dcs = parse_ok(t30_set_kind::dcs, fif_with_bits({10, 27}));
  dcs.scan_time = 0;  // a DCS with ECM sends 0 ms
  EXPECT_FALSE(t30_neg__on_dcs(user, dcs).result.empty());
  t30_capability plain = parse_ok(t30_set_kind::dcs, bytes{0x00, 0x40, 0x0E});
  EXPECT_TRUE(t30_neg__on_dcs(user, plain).result.empty());
}

TEST(T30CapIntersect, FlagsInternetFaxAndUnit) {
  struct Case {
    uint8_t a, b, want;
  };
  const Case modes[] = {{1, 1, 1}, {1, 2, 2}, {2, 1, 2}, {2, 2, 2}, {0, 1, 0}, {2, 0, 0}, {0, 0, 0}};
  for (const Case& k : modes) {
    t30_capability l = t30_cap__defaults(), r = t30_cap__defaults();
    l.service = r.service = T30_SVC_RECEIVE;
    l.internet_fax_mode = k.a;
    r.internet_fax_mode = k.b;
    l.unit_preference = 1;
    r.unit_preference = 2;
    r.password = 0;
    r.extra = 0x0F0F;
    const t30_capability x = t30_cap__intersect(l, r, {});
    EXPECT_EQ(x.internet_fax_mode, k.want);
    EXPECT_EQ(x.unit_preference, 2);
    EXPECT_EQ(x.password, 0);
    EXPECT_EQ(x.subaddress, 1);
    EXPECT_EQ(x.extra, 0x010F);
  }
}

TEST(T30CapIntersect, ChoiceNarrowsToSingleValues) {
  struct Case {
    uint16_t resolution;
    uint8_t coding;
    uint16_t want_res;
    uint8_t want_coding;
  };
  const Case cases[] = {
      {0x03FF, 0x0F, 0x020, 8}, {0x03DF, 0x07, 0x200, 4}, {0x01DF, 0x03, 0x010, 2}, {0x01CF, 0x01, 0x100, 1},
      {0x00CF, 0x0F, 0x008, 8}, {0x00C7, 0x0F, 0x080, 8}, {0x0047, 0x0F, 0x004, 8}, {0x0043, 0x0F, 0x040, 8},
      {0x0003, 0x0F, 0x002, 8}, {0x0001, 0x0F, 0x001, 8},
  };
  for (const Case& k : cases) {
    t30_capability c = t30_cap__defaults();
    c.resolution = k.resolution;
    c.coding = k.coding;
    c.scan_time = 4;
    t30_cap__choose(c);
    EXPECT_EQ(c.resolution, k.want_res);
    EXPECT_EQ(c.coding, k.want_coding);
    EXPECT_EQ(c.width, T30_WIDTH_A3);
    EXPECT_EQ(c.length, T30_LENGTH_UNLIMITED);
    EXPECT_EQ(c.scan_time, k.want_res == T30_RES_NORMAL ? 5 : 3);
    EXPECT_EQ(c.ecm, 2);
    EXPECT_EQ(c.ecm_frame_size, 2);
  }
  // Strict intersection whose service is neither transmit nor poll chooses.
  t30_capability l = t30_cap__defaults(), r = t30_cap__defaults();
  l.service = r.service = T30_SVC_RECEIVE;
  EXPECT_EQ(t30_cap__intersect(l, r, {true, false, false}).coding, T30_CODING_T85);
  EXPECT_EQ(t30_cap__intersect(l, r, {false, false, false}).coding, 0x0F);
}

// ---------------------------------------------------------------------------
// Negotiation steps and the selection check.

TEST(T30CapNegotiation, SelectionCheck) {
  struct Case {
    uint16_t service;
    t30_selection user;
    bool ok;
  };
  const Case cases[] = {
      {T30_SVC_RECEIVE, {T30_RES_FINE, T30_CODING_MR, T30_WIDTH_A4}, true},
      {T30_SVC_RECEIVE, {0x0003, T30_CODING_MR, T30_WIDTH_A4}, false},  // two resolutions
      {T30_SVC_RECEIVE, {0x0800, T30_CODING_MR, T30_WIDTH_A4}, false},  // not a local one
      {T30_SVC_RECEIVE, {T30_RES_FINE, T30_CODING_MR, 0x03}, false},    // two widths
      {T30_SVC_RECEIVE, {T30_RES_FINE, 0x07, T30_WIDTH_A4}, true},      // coding narrowed to MMR
      {T30_SVC_RECEIVE, {T30_RES_FINE, 0x10, T30_WIDTH_A4}, false},     // no known coding
      {T30_SVC_RECEIVE, {0xFFFF, 0xFF, 0xFF}, false},                   // must be given
      {T30_SVC_TRANSMIT, {0xFFFF, 0xFF, 0xFF}, true},                   // only given ones tested
      {T30_SVC_TRANSMIT, {0x0003, 0xFF, 0xFF}, false},
      {T30_SVC_TRANSMIT, {0xFFFF, 0xFF, 0x06}, false},
      {T30_SVC_TRANSMIT, {0xFFFF, 0x00, 0xFF}, false},
      {T30_SVC_POLL, {0x0003, 0x00, 0x06}, true},  // no test
  };
  for (const Case& k : cases) EXPECT_EQ(t30_cap__selection_ok(k.service, k.user), k.ok) << k.service;
}

TEST(T30CapNegotiation, UserAnswerAndSelection) {
  const t30_capability remote = parse_ok(t30_set_kind::dis, bytes{0x00, 0x77, 0x5F, 0x22});
  const t30_capability user_record = t30_neg__on_dis(t30_cap__defaults(), remote);
  t30_capability fields = t30_cap__defaults();
  fields.service = T30_SVC_TRANSMIT | T30_SVC_RECEIVE;
  // The remote receives; the service is 0x200: the user's selection must name
  // single values.
  const t30_capability ok = t30_neg__on_user_answer(user_record, fields, {T30_RES_FINE, T30_CODING_MR, T30_WIDTH_A4});
  EXPECT_EQ(ok.service, T30_SVC_RECEIVE);
  EXPECT_EQ(ok.modulation, 0x1B7E);
  const t30_capability bad = t30_neg__on_user_answer(user_record, fields, {0xFFFF, 0xFF, 0xFF});
  EXPECT_EQ(bad.service, 0);
  fields.service = 0;
  EXPECT_TRUE(t30_neg__on_user_answer(user_record, fields, {T30_RES_FINE, 2, 1}).empty());
}

TEST(T30CapNegotiation, OfferAndDcs) {
  t30_capability fields = t30_cap__defaults();
  fields.service = 0x1100;
  const t30_capability offer = t30_neg__offer(fields, t30_cap__defaults());
  EXPECT_EQ(offer.service, 0x1100);
  EXPECT_EQ(offer.coding, 0x0F);  // no choice yet

  // A DCS at V.17 12000, fine, MR, ECM 256.
  const t30_capability dcs = parse_ok(t30_set_kind::dcs, fif_with_bits({10, 12, 14, 15, 16, 27}));
  const t30_neg_dcs n = t30_neg__on_dcs(offer, dcs);
  ASSERT_FALSE(n.result.empty());
  EXPECT_EQ(n.result.service, T30_SVC_TRANSMIT);
  EXPECT_EQ(n.result.coding, T30_CODING_MR);
  EXPECT_EQ(n.result.resolution, T30_RES_FINE);
  EXPECT_EQ(n.page_modulation, 0x2820);
  const t30_capability plain = parse_ok(t30_set_kind::dcs, fif_with_bits({10, 12, 14}));
  EXPECT_EQ(t30_neg__on_dcs(offer, plain).page_modulation, 0x1820);

  // A DCS naming what the user record does not hold is incompatible.
  t30_capability narrow = offer;
  narrow.coding = T30_CODING_MH;
  EXPECT_TRUE(t30_neg__on_dcs(narrow, dcs).result.empty());
}

TEST(T30CapNegotiation, DtcChoosesAndNarrowsUserRecord) {
  t30_capability remote = dis_record({10, 15, 16});
  remote.service = T30_SVC_POLL;
  t30_capability user = t30_cap__defaults();
  const t30_neg_dtc n = t30_neg__on_dtc(user, remote);
  ASSERT_FALSE(n.result.empty());
  EXPECT_EQ(n.result.coding, T30_CODING_MR);
  EXPECT_EQ(n.result.resolution, T30_RES_FINE);
  EXPECT_EQ(n.user_record.coding, T30_CODING_MH | T30_CODING_MR);
  EXPECT_EQ(n.user_record.resolution, T30_RES_NORMAL | T30_RES_FINE);
}

// ---------------------------------------------------------------------------
// Speeds.

TEST(T30CapSpeeds, FallbackAfterFttFromV17) {
  const t30_capability remote = parse_ok(t30_set_kind::dis, bytes{0x00, 0x77, 0x5F, 0x22});
  const uint16_t negotiated = t30_neg__on_dis(t30_cap__defaults(), remote).modulation;
  ASSERT_EQ(negotiated, 0x1B7E);
  t30_speed_fallback fb;
  fb.start();
  const uint16_t want[] = {0x1840, 0x1820, 0x1210, 0x1208, 0x1104, 0x1102, 0x1102};
  for (uint16_t w : want) EXPECT_EQ(fb.choose(negotiated, false, false), std::optional<uint16_t>(w));
  EXPECT_FALSE(fb.choose(negotiated, false, false));
  EXPECT_FALSE(fb.choose(negotiated, false, false));
}

TEST(T30CapSpeeds, FallbackSkipsWhatWasNotNegotiated) {
  t30_speed_fallback fb;
  fb.start();
  // V.29 only: starts at 9600; V.17 9600/7200 are never chosen.
  EXPECT_EQ(fb.choose(0x1218, false, false), 0x1210);
  EXPECT_EQ(fb.choose(0x1218, false, false), 0x1208);
  EXPECT_FALSE(fb.choose(0x1218, false, false));
  fb.start();
  EXPECT_FALSE(fb.choose(0x1818, false, false));
  // ECM page data go with HDLC framing.
  fb.start();
  EXPECT_EQ(fb.choose(0x1B7E, false, true), 0x2840);
}

TEST(T30CapSpeeds, RetrainLeavesTheLastTry) {
  t30_speed_fallback fb;
  fb.start();
  EXPECT_EQ(fb.choose(0x1106, false, false), 0x1104);
  EXPECT_EQ(fb.choose(0x1106, false, false), 0x1102);
  // 2400 has a second try, unless the remote asked for a retrain.
  EXPECT_FALSE(fb.choose(0x1106, true, false));
  fb.start();
  EXPECT_EQ(fb.choose(0x1106, false, false), 0x1104);
  EXPECT_EQ(fb.choose(0x1106, false, false), 0x1102);
  EXPECT_EQ(fb.choose(0x1106, false, false), 0x1102);
}

TEST(T30CapSpeeds, LimitToTrainedAndRateCodes) {
  EXPECT_EQ(t30_cap__limit_to_trained(0x1F7E, 0x1102), 0x1102);
  EXPECT_EQ(t30_cap__limit_to_trained(0x1F7E, 0x1104), 0x1106);
  EXPECT_EQ(t30_cap__limit_to_trained(0x1F7E, 0x1208), 0x130E);
  EXPECT_EQ(t30_cap__limit_to_trained(0x1F7E, 0x1210), 0x1F1E);
  EXPECT_EQ(t30_cap__limit_to_trained(0x1F7E, 0x1820), 0x1F3E);
  EXPECT_EQ(t30_cap__limit_to_trained(0x1F7E, 0x1840), 0x1F7E);

  struct Case {
    uint16_t modulation;
    int code;  // -1: none
  };
  const Case cases[] = {
      {0x1102, 0x00}, {0x1104, 0x10}, {0x1210, 0x20}, {0x1208, 0x30}, {0x1840, 0x04}, {0x1820, 0x14}, {0x1810, 0x24},
      {0x1808, 0x34}, {0x2840, 0x04}, {0x1802, -1},   {0x1240, -1},   {0x1108, -1},   {0x1300, -1},   {0x0000, -1},
  };
  for (const Case& k : cases) {
    const auto code = t30_dcs_rate_code(k.modulation);
    if (k.code < 0) EXPECT_FALSE(code) << std::hex << k.modulation;
    else EXPECT_EQ(code, std::optional<uint8_t>(static_cast<uint8_t>(k.code))) << std::hex << k.modulation;
  }
  EXPECT_EQ(t30_modulation_speed(0x1840), 14400u);
  EXPECT_EQ(t30_modulation_speed(0x1102), 2400u);
  EXPECT_EQ(t30_modulation_speed(0x2000), 0u);
}

TEST(T30CapSpeeds, CommandModulation) {
  EXPECT_EQ(t30_cmd_modulation(false, 2), T30_MOD_V21_CMD);
  EXPECT_EQ(t30_cmd_modulation(true, 0), T30_MOD_V21_CMD);
  EXPECT_EQ(t30_cmd_modulation(true, 1), T30_MOD_V21_CMD);
  EXPECT_EQ(t30_cmd_modulation(true, 2), T30_MOD_CMD_2400);
  EXPECT_EQ(t30_cmd_modulation(true, 3), T30_MOD_V21_CMD);
}

// ---------------------------------------------------------------------------
// Capability area of the user primitives.

TEST(T30CapArea, LayoutByOffset) {
  t30_cap_area a;
  a.cap = t30_cap__defaults();
  a.cap.unit_preference = 2;
  a.v34_word = 0x11223344;
  a.selection = {0x0102, 0x03, 0x04};
  std::array<uint8_t, T30_CAP_AREA_SIZE> buf{};
  t30_cap__write_area(buf, a);
  const std::array<uint8_t, T30_CAP_AREA_SIZE> want = {0x30, 0x17, 0x7E, 0x1F, 0x44, 0x33, 0x22, 0x11, 0xFF, 0x03, 0x0F,
                                                       0x07, 0x07, 0x00, 0x03, 0x03, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00,
                                                       0x00, 0x00, 0x02, 0x01, 0x01, 0x01, 0x02, 0x01, 0x03, 0x04};
  EXPECT_EQ(buf, want);
  const t30_cap_area back = t30_cap__read_area(buf);
  EXPECT_EQ(back.cap, a.cap);
  EXPECT_EQ(back.selection, a.selection);
  EXPECT_EQ(back.v34_word, a.v34_word);
}

}  // namespace
