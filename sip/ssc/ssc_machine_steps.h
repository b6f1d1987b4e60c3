// Steps the actions of both ENT_SSC machines share (call machine, dialog
// entry machine): the handles they work on, passing to the user,
// self-events, error records and the digest steps of a re-sent request.
// Internal to ENT_SSC.
#pragma once
#include <array>
#include <cstddef>

#include "sip/prim/ssc_codes.h"
#include "runtime/automaton.h"
#include "sip/ssc/ssc_build.h"
#include "sip/ssc/ssc_digest.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/ssc/ssc_internal.h"

namespace ssc_steps {

using H = ssc_header_id;
// The result of the entity's steps that succeeded (transaction look-up,
// conn_id binding, credentials).
inline constexpr u8 SSC_RESULT_OK = 2;
inline constexpr u16 SSC_ERROR_DISCARDED = 900;
inline constexpr u16 SSC_INTERNAL_24 = 24;
inline constexpr u16 SSC_INTERNAL_50 = 50;

// SIP primitive codes of what ENT_SSC sends (the numbers of the user's
// request and answer codes).
inline constexpr code_t SIP_INVITE_RQ = SSC_INVITE_RQ, SIP_ACK_RQ = SSC_ACK_RQ, SIP_OPTIONS_RQ = SSC_OPTIONS_RQ,
                        SIP_BYE_RQ = SSC_BYE_RQ, SIP_INVITE_RS = SSC_INVITE_RS, SIP_OPTIONS_RS = SSC_OPTIONS_RS,
                        SIP_BYE_RS = SSC_BYE_RS, SIP_CANCEL_RS = SSC_CANCEL_RS;

// The received handle: what goes to the user.
inline ssc_handle*& cur() { return ssc_run().handle; }
inline ssc_module& mod() { return ssc_mod(); }

// The handle the builders send becomes `h` (its reference taken over).
void make_current(ssc_handle* h);
// The received handle is the one to send.
void use_received();

template <class T>
T* first(ssc_handle* h, ssc_header_id id) {
  if (h == nullptr) return nullptr;
  T* p = Ssc_first<T>(h, id);
  return ssc_ptr_set(reinterpret_cast<const char*>(p)) ? p : nullptr;
}

bool has_status(ssc_handle* h);
u16 status_of(ssc_handle* h);
u8 class_of(ssc_handle* h);
bool tag_none(const char* t);

void self_event(u8 route, u8 event);
void pass(code_t code);
void retype(ssc_msg_type t);
// A fresh handle of the type, passed to the user.
void fresh_pass(ssc_msg_type t, code_t code);
bool add_status(ssc_handle* h, u16 code, const char* reason);

// Request-URI text of a request as ENT_SIP writes it; its length, 0 when
// there is none or it does not fit.
std::size_t request_uri_text(ssc_handle* h, char* out, std::size_t size);

// The received error record (SSC_ERROR_IN body): its fatal flag and number.
u8* error_body();
bool error_fatal();
void make_fatal(bool fatal);
u16 error_number();
// The received error record to the user as SSC_ERROR_IN.
void pass_error();
// An event the state does not expect: SSC_ERROR_IN 900, SSC_DISCARDED_EVENT.
void report(bool fatal);

ssc_digest_user call_user();
// The challenge step for the received response to the request `req`.
bool challenge_accepted(ssc_handle* req, const char* method);
// Credentials for the current handle from the digest block.
void add_fresh_credentials(const char* method);
// The pending request again, with credentials.
bool resend_with_credentials(ssc_msg_type type, const char* method, code_t code);

// The Request-URI of the current request when it has none: the remote
// target, else the call's To.
void request_uri_from_target();

// Before a new INVITE, OPTIONS or REGISTER of the user: route set,
// defaults, Request-URI default, local tag and Call-ID.
void open_request();
// The agent closes sessions itself.
bool session_notices();

// A machine's actions bound to their functions: one binding per action,
// turned into a table indexed by the action (a missing or doubled binding
// stops the build).
template <class Action, class Fn>
struct action_binding {
  Action action;
  Fn fn;
};
template <class Action, class Fn, std::size_t N>
consteval std::array<Fn, kv::fsm::count_of<Action>> bind_actions(const action_binding<Action, Fn> (&list)[N]) {
  std::array<Fn, kv::fsm::count_of<Action>> out{};
  for (const auto& b : list) {
    const auto i = static_cast<std::size_t>(b.action);
    if (i >= out.size()) throw "action out of range";
    if (out[i] != nullptr) throw "action bound twice";
    out[i] = b.fn;
  }
  for (const Fn f : out)
    if (f == nullptr) throw "action without a function";
  return out;
}

}  // namespace ssc_steps
