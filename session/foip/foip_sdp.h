// SDP offers and answers of the FOIP entity's SIP calls.
//
// Each call holds one description, sip_mgt__sdp_contents: filled for an
// offer by operating mode, or read from the SSC SDP headers of a received
// primitive (decode_sdp__remote).  The media of the answer is chosen by
// check_t38_cap_remote_vs_local and the T.38 parameters of the answer are
// negotiated by foip_sdp__negotiate_t38.
//
// Contract:
// - Every text field is terminated and cut to its room; a description never
//   holds more than FOIP_SDP__MAX_MEDIA media, FOIP_SDP__MAX_FORMATS formats
//   per media and FOIP_SDP__MAX_ATTR attribute rows.
// - decode_sdp__remote clears the description first and reports how many
//   media the offer carried in all (so that an offer of more media than the
//   description holds can be refused with 488 instead of answered short).
// - The SDP version ("o=" version) only grows when the description sent
//   differs from the last one sent (foip_sdp__update_version).
// - No function here sends anything: the request builders add the headers.
#pragma once

#include "runtime/types.h"
#include "session/config/foip_param.h"
#include "session/config/foip_sip_cfg.h"
#include "sip/prim/ssc_msg.h"

inline constexpr u16 FOIP_SDP__MAX_MEDIA = 10;
inline constexpr u8 FOIP_SDP__MAX_FORMATS = 10;
inline constexpr u8 FOIP_SDP__MAX_ATTR = 20;
inline constexpr u8 FOIP_SDP__NB_T38_ATTR = 9;
inline constexpr std::size_t FOIP_SDP__HOST_SIZE = 65;
inline constexpr std::size_t FOIP_SDP__FMTP_SIZE = 128;

inline constexpr u32 FOIP_SDP__ORIGIN_SEED = 890844526;
inline constexpr char FOIP_SDP__SESSION_ID[] = "2890844526";
inline constexpr char FOIP_SDP__ORIGIN_HOST[] = "tessaly.invalid";

// Media types, formats, transports.
inline constexpr u8 FOIP_SDP__AUDIO = 'U';
inline constexpr u8 FOIP_SDP__VIDEO = 'V';
inline constexpr u8 FOIP_SDP__IMAGE = 'I';
inline constexpr u8 FOIP_SDP__OTHER = 'H';  // any other media line (application, text, message, ...)
inline constexpr u8 FOIP_SDP__FORMAT_T38 = '8';
inline constexpr u8 FOIP_SDP__UDPTL = 16;
inline constexpr u8 FOIP_SDP__TCP = 17;
inline constexpr u8 FOIP_SDP__PT_PCMA = 8;
inline constexpr u8 FOIP_SDP__PT_PCMU = 0;
inline constexpr u16 FOIP_SDP__NO_INDEX = 0xFFFF;

// Codes of rate management and UDP error correction.
inline constexpr u8 FOIP_SDP__LOCAL_TCF = 1;
inline constexpr u8 FOIP_SDP__TRANSFERRED_TCF = 2;
inline constexpr u8 FOIP_SDP__UDP_FEC = 1;
inline constexpr u8 FOIP_SDP__UDP_REDUNDANCY = 2;
inline constexpr u8 FOIP_SDP__BOTH = 3;

// Attribute states (one per T.38 attribute, in the order version, max bit
// rate, rate management, fill-bit removal, MMR, JBIG, max buffer, max
// datagram, UDP error correction).
enum : u8 {
  FOIP_SDP__ATTR_NOT_GIVEN = 0,
  FOIP_SDP__ATTR_REMOTE = 1,
  FOIP_SDP__ATTR_LOCAL = 2,
  FOIP_SDP__ATTR_DEFAULT = 3,
  FOIP_SDP__ATTR_FORCED = 4,
};
enum : u8 {
  FOIP_SDP__T38_VERSION = 0,
  FOIP_SDP__T38_MAX_BIT_RATE,
  FOIP_SDP__T38_RATE_MGT,
  FOIP_SDP__T38_FILL_BIT,
  FOIP_SDP__T38_MMR,
  FOIP_SDP__T38_JBIG,
  FOIP_SDP__T38_MAX_BUFFER,
  FOIP_SDP__T38_MAX_DATAGRAM,
  FOIP_SDP__T38_UDP_EC,
};

// A T.38 parameter block: the layout of a session's local T.38 parameters.
using foip_sdp__t38_param = foip__overwrite_lcl_t38_cap;

struct foip_sdp__conn {
  u8 family = OM_IP_FAMILY_NONE;  // 4 or 9
  u8 ipv4[4] = {};
  char host[FOIP_SDP__HOST_SIZE] = {};
};

struct foip_sdp__attr {
  u8 present = 0;
  u8 payload_type = 0;
  u32 clock_rate = 0;
  char encoding[33] = {};
  char fmtp[FOIP_SDP__FMTP_SIZE] = {};
};

// What an other media line says of itself, kept to answer it (rejected, in
// its place).
struct foip_sdp__other_line {
  char name[17] = {};      // "application", "text", ...
  char transport[9] = {};  // "udp", "TCP/MSRP", ...
  char format[65] = {};    // its first format
};

struct foip_sdp__media {
  u8 type = 0;
  u8 format = 0;
  u8 transport = 0;
  u16 port = 0;
  foip_sdp__conn conn;
  u8 format_count = 0;
  u8 formats[FOIP_SDP__MAX_FORMATS] = {};
  // Optional numeric fields of the media line, passed through.
  u8 port_count = 0xFF;
  u8 direction = 0xFF;
  u16 ptime = 0xFFFF;
  u16 maxptime = 0xFFFF;
  foip_sdp__attr attr[FOIP_SDP__MAX_ATTR];
  foip_sdp__t38_param t38{};
  u8 t38_state[10] = {};
  u8 selected = 0;
  foip_sdp__other_line other;  // type FOIP_SDP__OTHER only
};

struct sip_mgt__sdp_contents {
  u8 present = 0;
  char version[20] = {};
  foip_sdp__conn conn;
  char session_name[33] = {};
  char origin_user[FOIP_SDP__HOST_SIZE] = {};
  char origin_session_id[21] = {};
  u8 origin_net_type = 0xFF;
  foip_sdp__conn origin_conn;
  char start_time[11] = {};
  char stop_time[11] = {};
  u16 media_count = 0;
  foip_sdp__media media[FOIP_SDP__MAX_MEDIA];
};

// What the SDP functions read of the session and of the SIP side.
struct foip_sdp__env {
  u8 operating_mode = 1;
  u8 flag_nat_support = 0;
  u8 kind_of_t38_transport = 'U';
  u8 tcp_enabled = 0;  // TCP transport of T.38 available (local capabilities)
  foip__full_ip_addr local_media_ip_addr{};
  foip__full_ip_addr nat_local_media_ip_addr{};
  u16 audio_port = 0, nat_audio_port = 0;
  u16 udp_t38_port = 0, nat_udp_t38_port = 0;
  u16 tcp_t38_port = 0, nat_tcp_t38_port = 0;
  const foip_sdp__t38_param* local = nullptr;  // null: no session parameters
  foip__t38_capabilites_param remote_cfg{};    // defaults for left-out attributes, masks, test values
  foip_sdp__t38_param default_remote{};        // starting block of a received T.38 media
  const char* user_name = "";
};

// Empties the description (families 9, ports 65535, no media).
void sip_mgt__sdp_clear(sip_mgt__sdp_contents& sdp);

// ---------------------------------------------------------------------------
// Offers.

// Origin and connection.  False (nothing more done) on an unknown family of
// the media address.
[[nodiscard]] bool create_sdp__main_body__origin__dscp(const foip_sdp__env& env, u32 version,
                                                       sip_mgt__sdp_contents& sdp);
[[nodiscard]] bool create_sdp__fresh_origin(const foip_sdp__env& env, u32 version, sip_mgt__sdp_contents& sdp);
void create_sdp__audio_pcma_pcmu(foip_sdp__media& m, const foip_sdp__env& env);
void create_sdp__audio_codec(u8 payload_type, foip_sdp__media& m, const foip_sdp__env& env);
void create_sdp__t38_entry(const foip_sdp__t38_param* local, u8 transport, foip_sdp__media& m,
                           const foip_sdp__env& env);
// T.38 entries by kind_of_t38_transport from media index `at`, or with
// FOIP_SDP__NO_INDEX rebuilding an existing entry of each transport in place.
void create_sdp__t38_media(u16 at, sip_mgt__sdp_contents& sdp, const foip_sdp__env& env);
// The offer of a re-INVITE moving a call to T.38, built on `prev` (the last
// description we sent in the dialog): every m-line of `prev` stays in its
// place, disabled (port 0), so the offer never has fewer lines.  Each T.38
// entry of kind_of_t38_transport is rebuilt where `prev` has an image entry
// of its transport; otherwise, with `replace_audio`, it takes the place of
// the first audio line not yet taken, else it is appended (with no room
// left: a line `prev` had disabled is reused, else an audio line).  The
// origin is not touched.
// The number of T.38 entries placed (0: nothing to offer).
[[nodiscard]] u16 foip_sdp__create_t38_reoffer(const foip_sdp__env& env, const sip_mgt__sdp_contents& prev,
                                               bool replace_audio, sip_mgt__sdp_contents& sdp);
// The first offer of a call (INVITE or 200 with offer) for the env's
// operating mode: fresh origin with `version`, then the media.  The number
// of media offered (0: nothing to offer, the call cannot be placed).
[[nodiscard]] u16 foip_sdp__create_offer(const foip_sdp__env& env, u32 version, sip_mgt__sdp_contents& sdp);

// o= version rule: compares with the copy last sent; a different
// description raises the counter by one and rewrites the version text; the
// copy is replaced.  True when the version changed.
bool foip_sdp__update_version(sip_mgt__sdp_contents& sdp, sip_mgt__sdp_contents& last_sent, u32& counter);
// Same description (presence, session part and every media).
[[nodiscard]] bool foip_sdp__same(const sip_mgt__sdp_contents& a, const sip_mgt__sdp_contents& b);

// ---------------------------------------------------------------------------
// Received descriptions and the answer.

inline constexpr u8 FOIP_SDP__DECODED = 1;
inline constexpr u8 FOIP_SDP__NO_SDP = 2;
inline constexpr u8 FOIP_SDP__BAD_SDP = 3;
inline constexpr u8 FOIP_SDP__NO_ADDRESS = 4;

[[nodiscard]] bool ssc_prim_has_sdp(code_t prim, ssc_handle* h);
// 1 read with media, 2 no SDP, 3 bad SDP or no media, 4 a media without
// connection address.  Audio and video (header 62), image (75) and other
// media (64) are read in the offer's m-line order; an other media is kept
// to be answered rejected and needs no address.  `enabled` (may be null)
// gets the number of media with a port; `total` (may be null) the number of
// media lines of the offer, kept or not (what the codec counted, when it
// counted more than it passed on).
[[nodiscard]] u8 decode_sdp__remote(code_t prim, ssc_handle* h, const foip_sdp__env& env, sip_mgt__sdp_contents& sdp,
                                    u16* enabled, u16* total = nullptr);

// 2 compatible, 3 incompatible.
[[nodiscard]] u8 check_t38_cap_compatibility(const foip_sdp__t38_param& local, u8 transport,
                                             const foip_sdp__t38_param& remote, u8 tcp_enabled);
// Chooses the answer media: 2 a T.38 media, 1 audio or video, 0 none.  The
// chosen entry is marked selected; index and ports (may be null) are set.
u8 check_t38_cap_remote_vs_local(sip_mgt__sdp_contents& remote, const foip_sdp__env& env, u16* index, u16* local_port,
                                 u16* nat_port);
// Keeps one G.711 format on an enabled audio entry offering two or more.
void adjust_sdp__audio_answer(foip_sdp__media& m);
// The negotiated parameters of an accepted T.38 media (the session's).
[[nodiscard]] foip_sdp__t38_param foip_sdp__negotiate_t38(const foip_sdp__t38_param& local,
                                                          const foip_sdp__media& remote);
// Turns the received offer (with its chosen media) into the answer in
// place: the media keep their order and count; audio is reduced to one
// G.711 format, a disabled T.38 entry is rebuilt as a local one with port
// 0, the chosen T.38 entry announces the negotiated parameters.  Fills
// `session` (may be null) with the parameters the session runs with.
void foip_sdp__make_answer(sip_mgt__sdp_contents& sdp, const foip_sdp__env& env, u32 version,
                           foip_sdp__t38_param* session);

// ---------------------------------------------------------------------------
// SSC SDP headers of the message being built (texts are copied into the
// handle).  2, or 3 when a header could not be added (the headers before it
// stay) or an address cannot be written.  Nothing is added for a description
// that is not present.
[[nodiscard]] u8 build_sdp__main_body__origin(const sip_mgt__sdp_contents& sdp, ssc_handle* h);
[[nodiscard]] u8 build_sdp__audio(const sip_mgt__sdp_contents& sdp, const foip_sdp__media& m, ssc_handle* h);
[[nodiscard]] u8 build_sdp__t38(const sip_mgt__sdp_contents& sdp, const foip_sdp__media& m, ssc_handle* h);
// Header 64 of an other media (its name, transport and format as offered).
[[nodiscard]] u8 build_sdp__other(const sip_mgt__sdp_contents& sdp, const foip_sdp__media& m, ssc_handle* h);
// Session and origin, then every media in order.
[[nodiscard]] u8 foip_sdp__build_headers(const sip_mgt__sdp_contents& sdp, ssc_handle* h);

// ---------------------------------------------------------------------------
// Trace of a description (event lines of class FOIP__SIP_EVT_2 printed for
// `print_nai`): each media with its address and parameters, the selected one
// marked ">>"; modes 1 and 2 add the local user name and number; then the
// session's local media (env null: "No Session found").
void display_sdp__media(u8 mode, const sip_mgt__sdp_contents& sdp, const char* user, const char* phone,
                        const foip_sdp__env* env, nai_t session_nai, nai_t print_nai);
// The T.38 parameter lines of one transport (TCP: the first six) into out.
std::size_t format_t38_media(char* out, std::size_t room, const foip_sdp__t38_param& p, u8 transport,
                             const char* marker = nullptr);
