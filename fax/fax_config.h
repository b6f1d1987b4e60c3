// Configuration record of the fax management entity (fax__config, 1472
// bytes, little-endian), built by the FOIP entity and relayed by ENT_SM in
// SM_CONFIG_RQ.  Every offset of the record is named here and nowhere else;
// read it through fax_config_view, build it (tests, the FOIP side) through
// fax_config_writer.
#pragma once

#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "runtime/types.h"

inline constexpr u32 FAX_CONFIG_SIZE = 1472;

namespace fax_cfg {
inline constexpr u32 NB_SESSIONS = 4;      // u16, must be 1
inline constexpr u32 NAI = 8;              // u16
inline constexpr u32 START_TIMER_MS = 12;  // u32
inline constexpr u32 SECOND_NAI_SEL = 17;  // u8: 1 -> SECOND_NAI is used
inline constexpr u32 SECOND_NAI = 18;      // u16
inline constexpr u32 EOF_T30_MS = 20;      // u32, 0 means 25
inline constexpr u32 SETTINGS = 24;        // settings copied whole: 24..1467
inline constexpr u32 SETTINGS_SIZE = 1444;
inline constexpr u32 LOCAL_ID = 24;  // 20 bytes
inline constexpr u32 MAX_SPEED = 44;
inline constexpr u32 MIN_SPEED_ORG = 45;
inline constexpr u32 RCV_FILL_ORDER = 46;
inline constexpr u32 TMP_PG_FORMAT = 47;  // 100 bytes: one %d for the nai, one for the counter
inline constexpr u32 ECM_OFFERED = 148;
inline constexpr u32 CODINGS_ANS = 149;
inline constexpr u32 RESOLUTIONS_ANS = 150;  // u16
inline constexpr u32 WIDTH_ANS = 152;
inline constexpr u32 LENGTH_ANS = 153;
inline constexpr u32 LOCAL_ECM = 154;
inline constexpr u32 LOCAL_CODINGS = 155;
inline constexpr u32 POLLING = 156;
inline constexpr u32 PWD = 157;  // 20 bytes each
inline constexpr u32 SEP = 177;
inline constexpr u32 PSA = 197;
inline constexpr u32 SEND_FILES = 218;  // 10 x 100 bytes
inline constexpr u32 SEND_FILE_COUNT = 10;
inline constexpr u32 NAME_SIZE = 100;
inline constexpr u32 PAGE_BYTE = 1218;
inline constexpr u32 COPIES = 1220;  // u16
inline constexpr u32 PADDING_MODE = 1222;
inline constexpr u32 PAGE_HEADER = 1223;  // 133 bytes
inline constexpr u32 PAGE_HEADER_SIZE = 133;
inline constexpr u32 TOP_MARGIN = 1356;     // u16
inline constexpr u32 RCV_FORMAT = 1360;     // 100 bytes
inline constexpr u32 RCV_NUMBER = 1460;     // u16
inline constexpr u32 MAX_RCV_PAGES = 1462;  // u16, 0 no limit
inline constexpr u32 MAX_RCV_BYTES = 1464;  // u32, 0 no limit
inline constexpr u32 CF_FLAG = 1468;
inline constexpr u32 CF_VALUE = 1469;
}  // namespace fax_cfg

// Read access to a whole record (the caller keeps FAX_CONFIG_SIZE bytes).
struct fax_config_view {
  const u8* p;
  u16 u16_at(u32 off) const { return get_le16(p + off); }
  u32 u32_at(u32 off) const { return get_le32(p + off); }
  u8 byte(u32 off) const { return p[off]; }
  // A text field of `size` bytes, cut at its first NUL (never past the field).
  std::string text(u32 off, u32 size) const {
    const void* z = std::memchr(p + off, 0, size);
    return std::string(reinterpret_cast<const char*>(p + off),
                       z ? static_cast<size_t>(static_cast<const u8*>(z) - (p + off)) : size);
  }
  std::string send_file(u32 i) const { return text(fax_cfg::SEND_FILES + i * fax_cfg::NAME_SIZE, fax_cfg::NAME_SIZE); }
};

// Builder for a record (zeroed).
struct fax_config_writer {
  u8 p[FAX_CONFIG_SIZE] = {};
  void u16_at(u32 off, u16 v) { put_le16(p + off, v); }
  void u32_at(u32 off, u32 v) { put_le32(p + off, v); }
  void byte(u32 off, u8 v) { p[off] = v; }
  void text(u32 off, u32 size, const std::string& s) {
    std::memset(p + off, 0, size);
    std::memcpy(p + off, s.data(), s.size() < size ? s.size() : size - 1);
  }
  void send_file(u32 i, const std::string& s) {
    text(fax_cfg::SEND_FILES + i * fax_cfg::NAME_SIZE, fax_cfg::NAME_SIZE, s);
  }
};

// Configuration error codes (byte 1 of SM_CONFIG_CO with status 3, source 128).
enum : u8 {
  FAX__CFG_ERR_NA = 10,
  FAX__CFG_ERR_ACCESS_NA = 11,
  FAX__CFG_ERR_ALLOC_RESOURCE = 12,
  FAX__CFG_ERR_TIMER_RESOURCE = 13,
  FAX__CFG_ERR_ONLY_1_NA = 14,
  FAX__CFG_ERR_FNAME_TIFF_TMP_PG = 21,
  FAX__CFG_ERR_OPEN_TX_TIFF_FNAME = 31,
  FAX__CFG_ERR_OPEN_TX_TMP_FNAME = 32,
  FAX__CFG_ERR_TIFF_ERR0 = 33,
  FAX__CFG_ERR_TIFF_ERR__FOPEN_FAILURE = 34,
  FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_HEADER = 35,
  FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE = 36,
  FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_IFD_ENTRIES = 37,
  FAX__CFG_ERR_TIFF_ERR__STRIP_ENTRY = 38,
  FAX__CFG_ERR_TIFF_ERR__ROWS_PER_STRIP = 39,
  FAX__CFG_ERR_TIFF_ERR__STRIP_BYTE_ENTRY = 40,
  FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_8_ENTRIES = 41,
  FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_16_ENTRIES = 42,
  FAX__CFG_ERR_TIFF_PG_HDR_COLOR = 43,
  FAX__CFG_ERR_TIFF_PG_HDR_NB_BITS_PER_PIXEL = 44,
  FAX__CFG_ERR_TIFF_PG_HDR_COLOR_FORMAT = 45,
  FAX__CFG_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD = 46,
  FAX__CFG_ERR_TIFF_PG_HDR_BAD_NB_PIXEL = 47,
  FAX__CFG_ERR_TIFF_PG_HDR_BAD_RESOLUTION = 48,
};
