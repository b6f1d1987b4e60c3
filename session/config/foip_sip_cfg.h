// SIP side of the FOIP entity: the SIP global parameters as the SIP side
// keeps them, and the three configuration records it hands, through ENT_SM,
// to the SIP entities: `ssc_config` for ENT_SSC, `sip_config` for ENT_SIP and
// the SIP socket entry of `sock_config` for ENT_IP.
//
// Contract:
// - sip_mgt__validate_sip_param never refuses: every value out of range is
//   replaced (mode 1, delay 100 ms, families 9, NAT off, header mask 0).
// - Each record is filled field by field through the reader's own record
//   definition (ssc_config_profile of ENT_SSC, sip_config of ENT_SIP,
//   sock_config_entry of ENT_IP), never by position, so the values land in
//   the fields they mean (T1 500 ms, 124 calls, provisional wait 360000 ms).
// - The byte bodies are what ENT_SM relays; ENT_SSC's and ENT_SIP's readers
//   (ssc_config_parse, sip_config_read) take them back unchanged.
#pragma once

#include <array>
#include <vector>

#include "runtime/sock_config.h"
#include "runtime/types.h"
#include "session/config/foip_param.h"
#include "sip/ent/sip_config.h"
#include "sip/ssc/ssc_entity.h"

// Records shared with ENT_SSC: connection ids 0..61 name registration
// records, 62..123 call records.
inline constexpr u16 FOIP__MAX_SIP_REGISTER = 62;
inline constexpr u16 FOIP__MAX_SIP_CALL = 62;
inline constexpr u16 FOIP__SIP_CALL_CONN_BASE = 62;

// Operating modes (offer media; see foip_sdp.h).
inline constexpr u8 FOIP__WAIT_RE_INVITE = 1;
inline constexpr u8 FOIP__SEND_RE_INVITE = 2;
inline constexpr u8 FOIP__INVITE_MEDIA_AUDIO__WAIT_RE_INVITE = 3;
inline constexpr u8 FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE = 4;
inline constexpr u8 FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE_T38 = 5;
inline constexpr u8 FOIP__SEND_RE_INVITE__2 = 6;
inline constexpr u8 FOIP__INVITE_MEDIA_AUDIO__WAIT_RE_INVITE__2 = 7;
inline constexpr u8 FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE__2 = 8;

inline constexpr u32 FOIP__MIN_RE_INVITE_DELAY = 100;

// Clamps the SIP global parameters in place (copied whole before).
void sip_mgt__validate_sip_param(foip__glb_sip_param& p);

// ENT_SSC's configuration: one profile for the FOIP entity.
[[nodiscard]] ssc_config_profile foip_sip__ssc_profile(const foip__glb_sip_param& p);
// The body of SM_CONFIG_RQ for ENT_SSC (SSC_CONFIG_SIZE bytes).
[[nodiscard]] std::vector<u8> foip_sip__ssc_config_body(const foip__glb_sip_param& p);

// ENT_SIP's configuration: template, then the values the FOIP entity sets.
[[nodiscard]] sip_config foip_sip__sip_config(nai_t sig_nai);
// The body of SM_CONFIG_RQ for ENT_SIP (SIP_CONFIG_SIZE bytes).
[[nodiscard]] std::array<u8, SIP_CONFIG_SIZE> foip_sip__sip_config_body(nai_t sig_nai);

// A socket of the session layer as ENT_IP configures it: its SAP (which is
// also its kind, 1 UDP), owner and entities, bound to the local address when
// that is IPv4 (else to any address), created at configuration ('s'), with a
// 40000-byte receive buffer and retries 100 ms apart.
[[nodiscard]] sock_config_entry foip__bound_sock_entry(u8 sapi, u16 nai, u16 conn_id, ent_id_t control_entity,
                                                       ent_id_t data_entity, const om_ip_addr_t& local, u16 port);

// ENT_IP's configuration: the global SIP socket.
[[nodiscard]] sock_config_entry foip_sip__sock_entry(const foip__glb_sip_param& p);
[[nodiscard]] std::vector<u8> foip_sip__sock_config_body(const foip__glb_sip_param& p);
