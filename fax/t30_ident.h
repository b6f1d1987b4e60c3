// T.30 identification and optional frames: the local items set by
// T30_SETPARM_RQ, the received-identification record taken from a received
// frame set, and the T30_PROGRESS_IN items that report it.
//
// Frames are held in the notation of the T.30 tables (first bit on the line
// = most significant bit of the octet), starting at the address octet.
// Characters travel least significant bit first, so every character octet is
// bit-reversed between a frame and the text it carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fax/t30_capability.h"
#include "platform/int_types.h"

inline constexpr size_t T30_NSD_MAX = 50;
inline constexpr size_t T30_TEXT_MAX = 20;
inline constexpr size_t T30_ADDRESS_TEXT_MAX = 77;
inline constexpr size_t T30_ADDRESS_RECORD_SIZE = 2 + T30_ADDRESS_TEXT_MAX;  // 79

// FCF octets of the optional frames (X bit clear).
inline constexpr u8 T30_FCF_CSI = 0x02;
inline constexpr u8 T30_FCF_NSF = 0x04;
inline constexpr u8 T30_FCF_CIG = 0x82;
inline constexpr u8 T30_FCF_NSC = 0x84;
inline constexpr u8 T30_FCF_TSI = 0x42;
inline constexpr u8 T30_FCF_NSS = 0x44;
inline constexpr u8 T30_FCF_SUB = 0x43;
inline constexpr u8 T30_FCF_SID = 0x45;
inline constexpr u8 T30_FCF_TSA = 0x46;
inline constexpr u8 T30_FCF_IRA = 0x47;
inline constexpr u8 T30_FCF_CSA = 0x24;
inline constexpr u8 T30_FCF_PWD = 0x83;
inline constexpr u8 T30_FCF_SEP = 0x85;
inline constexpr u8 T30_FCF_PSA = 0x86;
inline constexpr u8 T30_FCF_CIA = 0x87;
inline constexpr u8 T30_FCF_ISP = 0x88;

// A text of up to 20 characters (identity, subaddress, password, SEP, PSA).
struct t30_text {
  u8 text[T30_TEXT_MAX] = {};
  u8 length = 0;
  std::string_view view() const { return {reinterpret_cast<const char*>(text), length}; }
};

// An internet address string: type octet, length (at most 77), text.
struct t30_address {
  u8 type = 0;
  u8 length = 0;
  u8 text[T30_ADDRESS_TEXT_MAX] = {};
};

// What the local side sends in its optional frames.
struct t30_local_params {
  u8 nsd[T30_NSD_MAX] = {};
  u8 nsd_length = 0;
  t30_text identity;
  t30_text subaddress;
  t30_text password;
  t30_text sep;            // selective-polling address
  t30_text psa;            // polled subaddress
  t30_address address[3];  // CIA/TSA/CSA; ISP; IRA
};

// T30_SETPARM_RQ selectors.
inline constexpr u16 T30_SETPARM_NSD_FIRST = 17;
inline constexpr u16 T30_SETPARM_NSD_LAST = 19;
inline constexpr u16 T30_SETPARM_IDENTITY = 20;
inline constexpr u16 T30_SETPARM_IDENTITY_2 = 21;
inline constexpr u16 T30_SETPARM_SUBADDRESS = 22;
inline constexpr u16 T30_SETPARM_PASSWORD = 23;
inline constexpr u16 T30_SETPARM_SEP = 24;
inline constexpr u16 T30_SETPARM_PSA = 25;
inline constexpr u16 T30_SETPARM_ADDRESS_FIRST = 26;
inline constexpr u16 T30_SETPARM_ADDRESS_LAST = 28;

// Stores one item of T30_SETPARM_RQ; returns false when the selector is not
// one of 17..28 (the request is then ignored).
bool t30_setparm(t30_local_params& p, u16 selector, std::span<const u8> data);

// Presence mask of the received-identification record.
inline constexpr u16 T30_RX_NSD = 0x02;
inline constexpr u16 T30_RX_SUBADDRESS = 0x04;
inline constexpr u16 T30_RX_PASSWORD = 0x08;
inline constexpr u16 T30_RX_SEP = 0x10;
inline constexpr u16 T30_RX_PSA = 0x20;
inline constexpr u16 T30_RX_ADDRESS = 0x40;
inline constexpr u16 T30_RX_ISP = 0x80;
inline constexpr u16 T30_RX_IRA = 0x100;

// What the remote sent in its optional frames (cleared when the modem layer
// connects).
struct t30_remote_ident {
  t30_text identity;
  u8 nsd[T30_NSD_MAX] = {};
  u8 nsd_length = 0;
  t30_text subaddress;
  t30_text password;
  t30_text sep;
  t30_text psa;
  t30_address address[3];
  u16 present = 0;
};

// Takes the optional frames of a received set: identification, non-standard
// data, subaddress, password, polling addresses and internet addresses. Stops
// at the first frame of another kind. Sets the remote record's subaddress,
// password, selective-polling, polled-subaddress, ISP and IRA flags for what
// was received.
void t30_ident__take_optional(std::span<const std::span<const u8>> frames, t30_remote_ident& rx,
                              t30_capability& remote);

// Parses a received DIS, DTC or DCS set (the final frame last), or an NSS set.
// The final frame's FIF goes to the capability parser; when it fails the
// remote record is left empty, the optional frames are not taken and false
// is returned. For an NSS set only the optional frames (the NSS among them)
// are taken.
[[nodiscard]] bool t30_ident__parse_set(t30_set_kind kind, std::span<const std::span<const u8>> frames,
                                        t30_remote_ident& rx, t30_capability& remote, bool* force_ftt = nullptr);

// One T30_PROGRESS_IN report of received identification data.
struct t30_progress_item {
  u8 subcode = 0;
  std::vector<u8> data;
};

// The non-empty items to report after a received set of the given kind (CFR:
// after a CFR was received), in sub-code order.
std::vector<t30_progress_item> t30_ident__progress(const t30_remote_ident& rx, t30_set_kind kind);

// Writes an identification-style frame (CSI, CIG, TSI, SUB, SID, PWD, SEP,
// PSA): address, control, FCF and the 20 characters reversed in order and in
// bit order, space-filled. `out` must hold 23 octets.
inline constexpr size_t T30_TEXT_FRAME_SIZE = 3 + T30_TEXT_MAX;
void t30_ident__write_text_frame(u8* out, u8 control, u8 fcf, const t30_text& text);

// Writes an address frame (CIA, TSA, CSA, ISP, IRA): address, control, FCF,
// then 0x00, type, length and text, every FIF octet bit-reversed. `out` must
// hold address.length + 6 octets (the length is cut to 77).
size_t t30_ident__address_frame_size(const t30_address& a);
void t30_ident__write_address_frame(u8* out, u8 control, u8 fcf, const t30_address& a);
