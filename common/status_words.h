// Status words of the common server library and of the device controller:
// 16 bits, 0 success, 0xF0xx library failures, 0xF1xx device and fax results.
#pragma once

#include <cstdint>

#include "platform/int_types.h"

using StatusWord = u16;

inline constexpr StatusWord STATUS_OK = 0x0000;
inline constexpr StatusWord STATUS_FOLDER_LOOKUP_FAILED = 0xF000;
inline constexpr StatusWord STATUS_BAD_ARGUMENT = 0xF001;
inline constexpr StatusWord STATUS_IO_FAILURE = 0xF00C;  // also: message not written whole
inline constexpr StatusWord STATUS_SETTINGS_NOT_FOUND = 0xF018;
inline constexpr StatusWord STATUS_SERVER_PARAGRAPH_MISSING = 0xF019;
inline constexpr StatusWord STATUS_MAILSLOT_MISSING = 0xF023;
inline constexpr StatusWord STATUS_AREA_MISSING = 0xF025;
inline constexpr StatusWord STATUS_SETUP_INI_NOT_OPENED = 0xF026;
inline constexpr StatusWord STATUS_NO_MEMORY_FOR_SECURITY = 0xF03B;
inline constexpr StatusWord STATUS_SECURITY_SETUP_FAILED = 0xF03C;
inline constexpr StatusWord STATUS_NOTHING_WAITING = 0x00E8;  // own mailslot is empty

inline constexpr StatusWord STATUS_FAX_FAILED = 0xF100;
inline constexpr StatusWord STATUS_FAX_BUSY = 0xF101;
inline constexpr StatusWord STATUS_FAX_OFFLINE = 0xF102;
inline constexpr StatusWord STATUS_FAX_NO_CONNECTION = 0xF103;
inline constexpr StatusWord STATUS_FAX_F104 = 0xF104;
inline constexpr StatusWord STATUS_FAX_INCOMPLETE = 0xF105;
inline constexpr StatusWord STATUS_FAX_PORT_ACCESS = 0xF107;
inline constexpr StatusWord STATUS_FAX_TIMEOUT = 0xF108;
inline constexpr StatusWord STATUS_FAX_ENGAGED = 0xF10A;
inline constexpr StatusWord STATUS_FAX_NOT_ANSWERED = 0xF10B;
inline constexpr StatusWord STATUS_FAX_NO_DIAL_TONE = 0xF10C;
inline constexpr StatusWord STATUS_FAX_NOT_A_FAX = 0xF10D;
