// Message trace decoder: one entity message as one line of text.
//
// dcod__format_msg appends to a line:
//   "SRC-DST|PRIMITIVE_NAME |nai :sp:conn|len:" + body summary + hex dump
// i.e. "%-3s-%-3s|" with the two service names, the primitive name left in a
// 15-character field, "%4x:%2x:%4x%c%d:" with nai, sapi, connection id, '#'
// (data in a buffer chain) or '|' (inline) and the data length, then the
// text of the body decoder of the interface's owner, then " %02x" for each
// data byte the body decoder did not show (at most `max_bytes`).
//
// The owner of the interface between two entities is the one whose row comes
// first in the service table; its primitive names are looked up first, then
// the other entity's.  Messages from ENT_TI are named from the destination's
// timer names.  Unknown codes print as 'x' when printable, else "(0x07)".
//
// The service table (names and decoding order of every service) lives in
// dcod_names.cpp with the runtime's own vocabularies (ENT_SM, ENT_IP,
// ENT_PH_IT).  Every other entity brings its vocabulary along: its primitive
// names, body decoder and timer names sit beside its message codes, and its
// entity table row carries them (entity_table_row_t::names), so registering
// the entity registers them here (dcod__register_vocabulary).
//
// Formatting never reads past the data length it is given and never writes
// past the line size (the line is always NUL-terminated).  Text taken from
// the data is shown with control characters as '.'.
#pragma once
#include <cstddef>

#include "runtime/msg.h"
#include "runtime/types.h"

// Name tables: {code, name} rows ended by the code DCOD__END.
struct dcod__name {
  u32 code;
  const char* name;
};
inline constexpr u32 DCOD__END = 0x5555;

// The header fields and the data of a message, as the decoder reads them.
struct dcod__msg_view {
  ent_id_t from = 0, to = 0;
  nai_t nai = 0;
  u8 sapi = 0;
  u16 conn_id = 0;
  code_t code = 0;
  bool chained = false;      // data in a buffer chain
  const u8* data = nullptr;  // first buffer's data, or the inline data
  u32 length = 0;
};

// Bounded appender over a NUL-terminated line.
class dcod__out {
 public:
  dcod__out(char* line, size_t size);
  void text(const char* s);  // as it is
  void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Bytes as text, each control character (and each byte above 126) as '.'.
  void printable(const u8* p, size_t n);
  size_t length() const { return len_; }
  size_t room() const { return size_ > len_ + 1 ? size_ - len_ - 1 : 0; }
  char* line() { return line_; }

 private:
  char* line_;
  size_t size_;
  size_t len_;
};

// What a body decoder sees and may change.
struct dcod__body {
  const dcod__msg_view* m;
  dcod__out* out;
  // Name table of the primitive for this line; a decoder may replace it.
  const dcod__name* prims;
  // A fixed primitive name for this line (replaces the lookup), or null.
  const char* fixed_name;
  bool swap16;                 // 16-bit fields are read with their bytes swapped
  u16 word(u32 offset) const;  // 16-bit data word (0 past the data)
};
// Appends its text and returns how many data bytes it has shown.
typedef u32 (*dcod__body_decoder)(dcod__body& b);

// One row of the service table.
struct dcod__service {
  ent_id_t entity;
  const char* name;                    // three characters or fewer
  const dcod__name* prims = nullptr;   // primitive names, or null
  dcod__body_decoder body = nullptr;   // or null
  const dcod__name* timers = nullptr;  // names of the timer codes ENT_TI delivers, or null
};

// What an entity brings to the decoder; any member may be null.
struct dcod__vocabulary {
  const dcod__name* prims;   // primitive names
  dcod__body_decoder body;   // body decoder
  const dcod__name* timers;  // names of the timer codes ENT_TI delivers
};

// The service table: rows in table order, the first one "L0" for entity 0,
// ended by a row whose entity is 0.
extern const dcod__service dcod__services[];

// Registration (once, before the runtime starts): resets the decoder's
// switches and maps every entity id to its row.  With `verbose`, rows whose
// entity was taken by an earlier row are listed on stdout.
void dcod__init(bool verbose = false);

// Gives an entity's row its vocabulary (null takes it back); a member that is
// null leaves the row's own.  Entity registration calls it for a row that
// carries names; it may be called from any thread, before or after
// dcod__init.
void dcod__register_vocabulary(ent_id_t entity, const dcod__vocabulary* v);

// A message as the decoder reads it: its header fields and its data (the
// first buffer's data when a chain is attached, else the inline data).
[[nodiscard]] dcod__msg_view dcod__view_of(const msg_t* m);

// Appends one line for the message to `line` (size bytes in all, its current
// text kept).  max_bytes bounds the hex dump.
void dcod__format_msg(const msg_t* m, char* line, size_t size, u32 max_bytes);
void dcod__format_view(const dcod__msg_view& m, char* line, size_t size, u32 max_bytes);

// Service name of an entity ("L0" for ids without a row).
const char* dcod__entity_name(ent_id_t entity);

// Name of a code in a table, "?" when absent (or when the table is null).
const char* dcod__lookup(const dcod__name* table, u32 code);

// Switches: pipe form (on by default; off: comma-separated fields) and byte
// order (on: 16-bit fields as stored, little-endian; off: swapped).
void dcod__set_pipe_form(bool on);
void dcod__set_byte_order(bool as_stored);
