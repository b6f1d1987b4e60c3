// The T.38 trace writer: every trace line of a session gets its header (the
// session age, the class label and the direction label), is handed to the
// trace store that the session side installs (t38_trace__set_store; nothing
// is stored until then) and is collected for the trace reports
// (T38__REPORT_IN kind 'T') that go to the session's user when
// trace_flush_nb_char characters are waiting or at TI_TRACE_REPORT.
//
// report__macro_ctrl_bfi: bit 0x1 = no trace reports (lines only stored),
// bit 0x2 = nothing stored (and no error records); both = no trace at all.
// While the runtime is congested no line is written.
//
// Also here: the hex dumps, the packet traces and the dumps of the
// configuration and of the transport statistics (t38_dump.cpp).
#pragma once

#include <string>
#include <unordered_map>

#include "runtime/types.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_session.h"

namespace kv::t38 {

// Where stored trace texts go: (nai, class, text, length).  Class 1 is the
// error record of a trap.
using t38_trace_store_fn = void (*)(nai_t nai, u32 trace_class, const char* text, u32 length);
void t38_trace__set_store(t38_trace_store_fn fn);

// Direction codes of a line (bit 0x80: continuation line).
enum : u8 {
  T38_DIR__FROM_IP = 0,
  T38_DIR__TO_IP = 1,
  T38_DIR__FROM_TDM = 2,
  T38_DIR__TO_TDM = 3,
  T38_DIR__FROM_ENT = 4,
  T38_DIR__TO_ENT = 5,
  T38_DIR__NONE = 6,
  T38_DIR__CONTINUATION = 0x80,
};

// The line header: "000001234 ms : " + class label + direction label, or the
// continuation header for direction codes with bit 0x80.
std::string t38_trace__header(u32 age_ms, u32 trace_class, u8 direction);

// Names of an IFP type (an indicator, or 0x80 + a data value) and of a data
// field type, as the traces print them; "" for a value without one.
const char* t38_trace__type_name(u8 type_byte);
const char* t38_trace__field_name(u8 field_type);

// Writes one line (header added) through the installed writer.
void t38_trace__line(t38_session& s, u8 direction, u32 trace_class, const char* text);
// Hex dump: up to 32 bytes a line ("XX "); the first line carries the title
// and "(len = %d)"; "..." ends a dump cut before `total` (0: count).
void t38_trace__hex(t38_session& s, u8 direction, u32 trace_class, const char* title, const u8* bytes, u32 count,
                    u32 total);

// Number formatter: flags low byte = base 2 to 36 (others give ""), bits 8
// to 13 = minimum width filled with '0', 0x4000 = upper-case letters, 0x8000
// = unsigned; a negative value in base 10 gets '-'.  Writes into out (room
// for 40 characters) and returns the length.
inline constexpr u32 T38_FMT__UPPER = 0x4000;
inline constexpr u32 T38_FMT__UNSIGNED = 0x8000;
u32 t38_trace__format_number(i32 value, char* out, u32 flags);

// The line writer's own formatting of up to four arguments: %d, %u, %x and
// %X (both upper-case hexadecimal), %s and %c, each with an optional
// one-digit width filled with '0', and a length letter l that changes
// nothing; from the fifth conversion on, and for unknown conversions, the
// '%' is written unchanged.
struct t38_trace_arg {
  i32 value = 0;
  const char* text = nullptr;
  t38_trace_arg() = default;
  t38_trace_arg(i32 v) : value(v) {}
  t38_trace_arg(u32 v) : value(static_cast<i32>(v)) {}
  t38_trace_arg(const char* t) : text(t) {}
};
std::string t38_trace__format(const char* fmt, t38_trace_arg a1 = {}, t38_trace_arg a2 = {}, t38_trace_arg a3 = {},
                              t38_trace_arg a4 = {});

class t38_trace_writer final : public t38_trace_port {
 public:
  t38_trace_writer() = default;
  ~t38_trace_writer() override = default;

  u8 setup(t38_session& s) override;
  void line(t38_session& s, u8 origin, u32 trace_class, const char* text) override;
  void packet(t38_session& s, u8 direction, const t38_ifp_packet& primary, u16 secondaries) override;
  void asn1_dump(t38_session& s, u8 direction, const byte_ref& bytes) override;
  void error_record(t38_session& s, u16 code, const char* name, const char* text) override;
  void flush_timer(t38_session& s) override;
  void congestion(t38_session& s) override;
  void end_of_session(t38_session& s, bool trapped) override;

  // A line with an explicit direction (the text is written as given).
  void write(t38_session& s, u8 origin, u8 direction, u32 trace_class, const char* text);
  // Text waiting for the next trace report of a session.
  std::string pending(const t38_session& s) const;

 private:
  void send_report(t38_session& s);
  std::unordered_map<const t38_session*, std::string> chains_;
};

// Dumps (t38_dump.cpp), written under their classes.
void t38_dump__compilation_parameters(t38_session& s);
void t38_dump__common_configuration(t38_session& s, u32 ced_duration_ms);
// The session's configuration in declaration form, with the sizes of the
// contexts (the global one given) and of the session's pools.
void t38_dump__session_configuration(t38_session& s, u32 glb_context_size);
// Fills the IFP part of a statistics record (when `record` is given) and,
// with print set and class 0x20 traced, prints the transport statistics.
void t38_dump__transport_statistics(bool print, u8* record, t38_session& s, u32 protocol_errors);

}  // namespace kv::t38
