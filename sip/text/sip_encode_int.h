// Inside of the SIP text encoder: the output chain, the header encoders, the
// URI and address writers and the body writers.  Only the encoder's own
// modules include this.
#pragma once

#include <cstdint>

#include "sip/text/sip_encode.h"
#include "sip/text/sip_prim_kind.h"
#include "platform/int_types.h"

// A chain of runtime buffers being filled line by line: `cur` is where the
// text is written (through sip_out), `last` the last buffer holding committed
// lines, `first` the head of the chain.
struct sip_out_chain {
  buffer_t* first = nullptr;
  buffer_t* last = nullptr;
  buffer_t* cur = nullptr;
};

// Takes a fresh buffer as `c.cur` (data offset raised by `room` bytes) and
// points sip_out at it.  False when no buffer could be had or `room` leaves
// no data room.
[[nodiscard]] bool sip_chain__open(sip_out_chain& c, u16 room);
// Moves the text written in `c.cur` into the chain (appended to `last` when
// it fits there, else `cur` joins the chain) and restarts sip_out on a fresh
// place.  False when the text overflowed or no buffer could be had.
[[nodiscard]] bool sip_chain__commit(sip_out_chain& c);
// Frees every buffer of the chain and the one being written.
void sip_chain__free(sip_out_chain& c);

// The chain of the message being encoded.
extern sip_out_chain sip_encode_chain;
// Set when a header or body refused to be written: the message is dropped.
extern bool sip_encode_failed;
inline void sip_encode__fail() { sip_encode_failed = true; }

// Bytes written in `c.cur` since its data start.
u16 sip_chain__pending(const sip_out_chain& c);

// ---------------------------------------------------------------------------
// Small writers (all through sip_out; a failure sets its overflow flag)

inline void put(const char* text) { (void)sip_out__append_cstr(text); }
inline void put(sip_str s) { (void)sip_out__append_str(s); }
inline void put_dec(u32 v) { (void)sip_out__append_dec(v); }
inline bool has(sip_str s) { return s.len != 0 && s.ptr != nullptr && s.ptr[0] != 0; }
void put_char(char c);
void put_crlf();
// Four address bytes in dotted decimal.
void put_ipv4(sip_str bytes);
// The name of `code` in `table` when the code is not 255 (nothing for a code
// the table lacks), else `text`.
void put_coded(const sip_value_table& table, u8 code, sip_str text);
// A display name: between double quotes (with '"' and '\' escaped) when
// `quoted`, else as it is.
void put_display(sip_str display, u8 quoted);
// Removes the last `n` bytes written (a trailing separator).
void unput(u16 n);

// The header name and ": ", or the compact letter when the endpoint asks for
// it and the header has one.
void put_header_name(sip_header_id id);

// ---------------------------------------------------------------------------
// URI and address writers

// Scheme, user part (or telephone-subscriber part), host and port of a SIP
// or SIPS URI.
void sip_out__uri(const sip_addr& a);
// The request line of the current kind; false (nothing written) when the
// kind has no method.
bool sip_out__request_line();
void sip_out__status_line();
// An address in angle brackets with all its URI parameters; `lr` false
// leaves the lr parameter out (Contact).
void sip_out__addr_params(const sip_addr& a, bool lr = true);
// From, To and Reply-To: "<", the short address (user parameter only), ">".
void sip_out__addr_short(const sip_addr& a);

// ---------------------------------------------------------------------------
// Header encoders: one per header id, called with the instance count.

using sip_hdr_encoder = void (*)(u8 count);

// The encoder of `id` in the per-kind tables, or null.
sip_hdr_encoder sip_hdr_encoder_of(sip_header_id id);
// The parsed-form encoders of the default table.
void sip_out__call_id_parsed(u8 count);
void sip_out__via_parsed(u8 count);

// Body rows.
void sip_out__body(u8 count);
void sip_out__sdp_body(u8 count);
// The Content-Length line.
void sip_out__content_length(u32 length);
