// Call-control helpers of ENT_SSC: the text form of SIP and telephone URIs,
// the routing rule of an outgoing request (loose or strict), Call-ID and
// local tag of a call, the Timestamp delay of a 100 answer, small text
// helpers and the call's string store.
//
// Contract: texts written here always end within the size given; the string
// store lives in runtime buffers chained per owner and frees them all in
// ssc_store_release.
#pragma once
#include <cstddef>

#include "runtime/buffer.h"
#include "runtime/types.h"
#include "sip/prim/ssc_header.h"
#include "sip/ssc/ssc_entity.h"

// Text form of a URI (no port), at most size - 1 characters and a NUL;
// returns the length written.  IPv6 hosts are written in brackets in the
// usual colon-separated form.
u16 ssc_uri_text(char* out, const ssc_uri* uri, u16 size);

// True when the two texts differ: null and non-null differ, two nulls are
// equal, null and "" differ.
[[nodiscard]] bool ssc_text_differs(const char* a, const char* b);
// Length up to the NUL, at most `max`.
[[nodiscard]] u16 ssc_str_len(const char* text, u16 max);

// True when a route's URI carries the "lr" parameter.
[[nodiscard]] bool ssc_route_is_loose(const ssc_hdr_route* r);

// Where a request's Request-URI and Route come from.
struct ssc_route_plan {
  enum class ruri : u8 { first_route, remote_target, to } request_uri;
  const ssc_hdr_route* routes;  // first Route to send (the rest of the list from here), or null
  bool strict;                  // the remote target goes last as Route (header 96)
};
// Routing rule: a route set whose first entry lacks "lr" is strict: that
// entry becomes the Request-URI, the rest the Route, and the remote target
// (when known) the last Route.  Otherwise the whole set is the Route and the
// Request-URI is the remote target, else the To URI.
[[nodiscard]] ssc_route_plan ssc_plan_routing(const ssc_hdr_route* route_set, bool has_remote_target);

// Call-ID of a call taken from a header (id text and host bounded by their
// fields) or made new: a 16-character token of 64 random bits and the module
// offset, with the host of the From (IPv4, IPv6 or a name bounded to the
// 63-character field).
void ssc_take_call_id(ssc_call* c, const ssc_hdr_call_id* h);
void ssc_make_call_id(ssc_call* c, const ssc_uri* from_uri, u32 offset);
// Local tag: the given tag (at most 64 characters), or 64 random bits in
// upper-case hexadecimal.
void ssc_set_local_tag(ssc_call* c, const char* tag);

// Delay of a Timestamp repeated in a 100 answer: the time since the request
// was received, in whole seconds and milliseconds (tick counts in ms, wrap
// tolerated).
struct ssc_delay {
  u32 seconds;
  u32 millis;
};
[[nodiscard]] ssc_delay ssc_timestamp_delay(u32 received_tick, u32 now_tick);

// String store: a chain of runtime buffers, each one block of chunks
// {u16 size, data}; first fit, split when 20 bytes or more would remain,
// freed chunks merged with free neighbours.
struct ssc_store {
  buffer_t* chain = nullptr;
};
[[nodiscard]] void* ssc_store_alloc(ssc_store* s, u16 size);
void ssc_store_free(ssc_store* s, void* data);
[[nodiscard]] char* ssc_store_text(ssc_store* s, const char* text);
void ssc_store_release(ssc_store* s);
// Free bytes of the store (the sum of its free chunks), for audits.
u32 ssc_store_free_bytes(const ssc_store* s);

// The refresh rule on a received handle: sets the entry's refresh interval
// from Expires, or from the first Contact's expires parameter when present
// (bounded, never wrapping: ssc_refresh_ms).
void ssc_entry_refresh_from(ssc_dialog_entry* e, ssc_handle* h);
