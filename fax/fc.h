// Page conversion entity ENT_FC: converts one fax page at a time, per page
// id (the message's nai), between the form it is stored in and the form the
// fax session sends.  Stages, each pushing finished lines to the next: line
// assembly (raw bitmap input) or decoding (MH, MR, MMR), colour inversion,
// vertical resolution (200 -> 100 lpi) and line length (padding), the page
// header band laid over the first lines (the top margin, then the header's
// text lines; rows of 1728 pels, cut to narrower lines), and encoding (MH,
// MR with K = 2, MMR; a T.4 page starts with an EOL).  A request that needs none of them is a pass-through: the data
// come back unchanged.
//
// Primitives, all on SAP 10, answered to the entity that sent them:
//   FC__INIT_PG_RQ 'A'  fc__init_pg_conv record (FC_INIT_PG_CONV_SIZE bytes)
//                       -> FC__INIT_PG_CO 'a' with result, cause, stage bits
//   FC__DA_RQ 'D'       page data in a buffer chain -> FC__DA_IN 'd' (converted)
//   FC__STOP_PG_RQ 'B'  byte 3 of the body 2 = finish, else abort
//                       -> FC__STOP_PG_CO 'b' with the decoder report
//   FC__STOP_PG_IN 'C'  sent when the output page reached its line count
//   FC__SYNC_RQ 'S'     -> FC__SYNC_CO 's' at once
// From ENT_SM: SM_CONFIG_RQ (fc_config body) -> SM_CONFIG_CO; SM_RST_CFG_RQ
// -> SM_RST_CFG_CO (every page aborted, the page table freed).
//
// Records are little-endian, written and read field by field at the offsets
// below.  The entity runs in the SM task only.
#pragma once

#include <cstdint>

#include "runtime/automaton.h"
#include "runtime/entity.h"
#include "runtime/msg.h"

inline constexpr char fc__banner[] = "(@)Fax Conversion v1.0.2 (30 Dec 2009)";

enum : code_t {
  FC__INIT_PG_RQ = 'A',
  FC__INIT_PG_CO = 'a',
  FC__STOP_PG_RQ = 'B',
  FC__STOP_PG_CO = 'b',
  FC__STOP_PG_IN = 'C',
  FC__DA_RQ = 'D',
  FC__DA_IN = 'd',
  FC__SYNC_RQ = 'S',
  FC__SYNC_CO = 's',
};

inline constexpr u8 FC_SAPI = 10;
inline constexpr u8 FC_OK = 2;
inline constexpr u8 FC_NOK = 3;

// Entity markers.
inline constexpr u32 FC_MARKER_STARTED = 0xedcba987;
inline constexpr u32 FC_MARKER_CONFIGURED = 0x12345678;

// Error causes (FC__INIT_PG_CO, FC__STOP_PG_CO).
enum : u8 {
  FC__INIT_OK = 2,
  FC__INIT_ERR__BAD_PG_ID = 15,
  FC__INIT_ERR__CONV_IN_PROGRESS = 16,
  FC__INIT_ERR__NO_INIT_DATA = 17,
  FC__INIT_ERR__INPG_ENCODING = 18,
  FC__INIT_ERR__INPG_LINE_LENGTH = 19,
  FC__INIT_ERR__INPG_LINE_PADDING_MODE = 20,
  FC__INIT_ERR__INPG_VERTICAL_RESOLUTION = 21,
  FC__INIT_ERR__INPG_KIND_OF_COLOR = 23,
  FC__INIT_ERR__INPG_FLAG_WHITE_IS_ZERO = 24,
  FC__INIT_ERR__OUTPG_ENCODING = 25,
  FC__INIT_ERR__OUTPG_LINE_LENGTH = 26,
  FC__INIT_ERR__OUTPG_VERTICAL_RESOLUTION = 27,
  FC__INIT_ERR__OUTPG_NB_LINES = 28,
  FC__INIT_ERR__OUTPG_KIND_OF_COLOR = 30,
  FC__INIT_ERR__OUTPG_FLAG_WHITE_IS_ZERO = 31,
  FC__INIT_ERR__LINE_LENGTH = 32,
  FC__INIT_ERR__BAD_RESOL_CONV_REQUEST = 33,
  FC__INIT_ERR__ALLOC = 34,
  FC__RESOL_INIT_ERR__CTX_NOT_FREE = 45,
  FC__RESOL_INIT_ERR__CALLBACK_PUT_DATA = 46,
  FC__RESOL_INIT_ERR__ALLOC = 47,
  FC__T4T6_INIT_ERR__CTX_NOT_FREE = 55,
  FC__T4T6_INIT_ERR__OP_MODE = 56,
  FC__T4T6_INIT_ERR__ALGO = 57,
  FC__T4T6_INIT_ERR__CALLBACK_PUT_DATA = 58,
  FC__T4T6_INIT_ERR__TCMNINIT = 59,
  FC__T4T6_INIT_ERR__ALLOC = 60,
  FC__T4T6_INIT_ERR__DECODER = 61,  // the decoder could not be started (no text of its own)
  FC__COLOR_INIT_ERR__CTX_NOT_FREE = 65,
  FC__COLOR_INIT_ERR__CALLBACK_PUT_DATA = 66,
  FC__TXT_ERR__LEN_OF_SZ_INPUT_STRING = 75,
  FC__TXT_ERR__BMP_LINE_LENGTH = 76,
  FC__TXT_ERR__VERTICAL_RESOLUTION = 77,
  FC__TXT_ERR__TGC_INIT = 78,
  FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL = 79,
};

// Trace text of a cause; "(FC_xxxxxxxx) unknown code" for any other value.
const char* fc__cause_text(u8 cause);

// Configuration errors (byte 1 of SM_CONFIG_CO).
enum : u8 {
  FC_CFG_OK = 0,
  FC_CFG_ERR_NO_BODY = 15,
  FC_CFG_ERR_CONTEXTS = 16,  // more than FC_MAX_PAGE_CONTEXTS
  FC_CFG_ERR_TWICE = 17,     // configured again without a reset
  FC_CFG_ERR_MEMORY = 18,
  FC_CFG_ERR_DATA_SIZE = 19,  // 0, or more than a buffer holds
};
inline constexpr u16 FC_MAX_PAGE_CONTEXTS = 63;

// Configuration body: result u8 @0, cause u8 @1, entity u8 @2 (filled in the
// answer), u16 page contexts @4, u16 most data bytes per FC__DA_IN @6.
inline constexpr u32 FC_CONFIG_SIZE = 8;

// Stage bits of enabled_conversion_bfi.
enum : u32 {
  FC_CONV_HEADER = 0x01,
  FC_CONV_DECODE = 0x02,
  FC_CONV_COLOUR = 0x04,
  FC_CONV_RESOLUTION = 0x08,
  FC_CONV_ENCODE = 0x10,
};

// Encodings.
enum : u8 { FC_RAW_BITMAP = 0, FC_MH = 1, FC_MR = 2, FC_MMR = 3 };
// Padding modes.
enum : u8 { FC_PAD_CENTRE = 0, FC_PAD_LEFT = 1, FC_PAD_RIGHT = 2 };
// Vertical resolutions (one bit each).
enum : u8 { FC_LPI_100 = 1, FC_LPI_200 = 2 };
inline constexpr u32 FC_NO_LINE_LIMIT = 0xFFFFFFFF;

inline constexpr u32 FC_PAGE_HEADER_SIZE = 134;  // at most 133 characters and a NUL

// FC__INIT_PG_RQ / FC__INIT_PG_CO record.
struct fc__init_pg_conv {
  u8 result = 0;
  u8 cause = 0;
  u8 entity = 0;
  u32 enabled_conversion_bfi = 0;
  u8 in_pg__encoding = 0;
  u16 in_pg__line_length = 0;
  u8 in_pg__line_padding_mode = 0;
  u8 in_pg__vertical_resolution = 0;
  u32 in_pg__nb_lines = 0;
  u8 in_pg__kind_of_color = 0;
  u8 in_pg__color_bilevel__flag_white_is_zero = 0;
  u8 out_pg__encoding = 0;
  u16 out_pg__line_length = 0;
  u8 out_pg__vertical_resolution = 0;
  u32 out_pg__nb_lines = 0;
  u8 out_pg__kind_of_color = 0;
  u8 out_pg__color_bilevel__flag_white_is_zero = 0;
  char sz_page_header[FC_PAGE_HEADER_SIZE] = {};
  u16 bmp_top_margin_pels = 0;
};

// Byte layout of the record (offsets; the gaps and the tail are zero).
namespace fc_rec {
inline constexpr u32 RESULT = 0, CAUSE = 1, ENTITY = 2, BFI = 4;
inline constexpr u32 IN_ENCODING = 8, IN_LINE_LENGTH = 10, IN_PADDING = 12, IN_VRES = 13, IN_NB_LINES = 16,
                     IN_KIND = 20, IN_WHITE_IS_ZERO = 21;
inline constexpr u32 OUT_ENCODING = 24, OUT_LINE_LENGTH = 26, OUT_VRES = 28, OUT_NB_LINES = 32, OUT_KIND = 36,
                     OUT_WHITE_IS_ZERO = 37;
inline constexpr u32 PAGE_HEADER = 40, TOP_MARGIN = 174;
}  // namespace fc_rec
inline constexpr u32 FC_INIT_PG_CONV_SIZE = 184;
static_assert(fc_rec::TOP_MARGIN == fc_rec::PAGE_HEADER + FC_PAGE_HEADER_SIZE);
static_assert(fc_rec::TOP_MARGIN + 2 <= FC_INIT_PG_CONV_SIZE);

void fc__init_pg_conv_pack(const fc__init_pg_conv& r, u8 out[FC_INIT_PG_CONV_SIZE]);
fc__init_pg_conv fc__init_pg_conv_unpack(const u8 in[FC_INIT_PG_CONV_SIZE]);

// The checks of FC__INIT_PG_RQ alone: fills result, cause, entity and
// enabled_conversion_bfi; returns the result (2 or 3).
[[nodiscard]] u8 fc__check_init_pg_conv_param(fc__init_pg_conv* r);

// FC__STOP_PG_RQ body: 24 bytes, byte 3 the reason.
inline constexpr u32 FC_STOP_PG_RQ_SIZE = 24;
inline constexpr u32 FC_STOP_REASON_OFFSET = 3;
inline constexpr u8 FC_STOP_FINISH = 2;

// FC__STOP_PG_CO body: result @0, cause @1, entity @2, report valid u8 @3,
// u32 lines decoded @4, u8 decoding ended by an error @8, u32 error lines @12.
inline constexpr u32 FC_STOP_PG_CO_SIZE = 16;
struct fc__decoder_report {
  u8 valid = 0;
  u32 lines_decoded = 0;
  u8 ended_by_error = 0;
  u32 error_lines = 0;
};

// FC__STOP_PG_IN body: result 2 @0, cause 15 @1, entity @2, u32 @4: the input
// lines left out of the page (0 when none), 0xFFFFFFFF when that cannot be
// told (no input line count, or fewer input lines than output lines).
inline constexpr u32 FC_STOP_PG_IN_SIZE = 24;

void fc_entity_init();
void fc_entity_handler(msg_t* m);
inline constexpr entity_table_row_t FC_ENTITY_ROW = {ENT_FC, fc_entity_handler, 0, 0, fc_entity_init, 0};

// State, for tests: the entity marker and a page context's state
// (0 idle, 1 pass-through, 2 converting; 0xFF when there is no such page).
u32 fc__marker();
u8 fc__page_state(u16 page_id);
// The page machine's rows, for their check.
kv::fsm::machine_view fc__page_machine();
inline constexpr u8 FC_PAGE_IDLE = 0;
inline constexpr u8 FC_PAGE_PASS_THROUGH = 1;
inline constexpr u8 FC_PAGE_CONVERTING = 2;
