// Trap codes the IFP, UDPTL and TPKT codecs report.  Codes up to 13000 are
// fatal or serious for the session, the ones above are information.
#pragma once

#include <cstdint>

#include "platform/int_types.h"

namespace kv::t38 {

inline constexpr u16 T38__TRAP__NONE = 0;

inline constexpr u16 T38__TRAP__IFP_PCK__MISSING_DATA_FIELD = 12091;
inline constexpr u16 T38__TRAP__IFP_PCK__DATA_FIELD_PRESENT = 12092;
inline constexpr u16 T38__TRAP__IFP_PCK__NO_MORE_BUFFER = 12094;
inline constexpr u16 T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD = 12096;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK = 12099;
inline constexpr u16 T38__TRAP__IFP_PCK__ASN1__TOO_LONG = 12101;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_UDPTL_1 = 12102;  // sequence preamble
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_UDPTL_2 = 12103;  // seq-number
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_UDPTL_3 = 12104;  // primary open type
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_UDPTL_4 = 12105;  // error-recovery CHOICE
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_UDPTL_6 = 12107;  // secondaries SEQUENCE OF
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_UDPTL_7 = 12108;  // one secondary
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_1 = 12109;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_2 = 12110;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_3 = 12111;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_4 = 12112;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_5 = 12113;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_6 = 12114;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_7 = 12115;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_8 = 12116;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_9 = 12117;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_10 = 12118;
inline constexpr u16 T38__TRAP__IFP_PCK__BAD_LEN_TPKT = 12146;

inline constexpr u16 T38__TRAP__IFP_PCK__BAD_ERR_RECOVERY = 13120;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_1 = 13124;  // sequence preamble
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_2 = 13125;  // seq-number
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3 = 13126;  // primary open type
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_4 = 13127;  // error-recovery CHOICE
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_5 = 13128;  // secondaries SEQUENCE OF
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6 = 13129;  // one secondary
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_1 = 13130;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_2 = 13131;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_3 = 13132;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_4 = 13133;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_5 = 13134;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_6 = 13135;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_7 = 13136;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8 = 13137;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_10 = 13139;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_11 = 13140;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_12 = 13141;
inline constexpr u16 T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_13 = 13142;

}  // namespace kv::t38
