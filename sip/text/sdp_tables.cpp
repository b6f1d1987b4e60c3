// Keyword tables of the SDP codec.  Rows are searched from the last to the
// first, so that of two rows with one keyword the later one wins.
#include "platform/int_types.h"
#include "sip/text/sdp.h"

namespace {

template <size_t N>
constexpr sdp_table table_of(const sdp_keyword_row (&rows)[N]) {
  return sdp_table{rows, static_cast<u32>(N)};
}

constexpr sdp_keyword_row media_rows[] = {{'V', "video"}, {'U', "audio"}};
constexpr sdp_keyword_row image_rows[] = {{'I', "image"}};
constexpr sdp_keyword_row t38_format_rows[] = {{'8', "T38"}, {'8', "t38"}};
constexpr sdp_keyword_row transport_rows[] = {
    {0x11, "TCP"}, {0x10, "UDPTL"}, {0x11, "tcp"},   {0x10, "udptl"}, {3, "LOCAL"},
    {2, "UDP"},    {2, "udp"},      {1, "RTP/SAVP"}, {0, "RTP/AVP"},
};
constexpr sdp_keyword_row nettype_rows[] = {{'I', "IN"}, {'A', "ATM"}, {'L', "LOCAL"}};
constexpr sdp_keyword_row bwtype_rows[] = {{'c', "CT"}, {'a', "AS"}, {'s', "RS"}, {'r', "RR"}, {'t', "TIAS"}};
constexpr sdp_keyword_row keymethod_rows[] = {{0, "clear"}, {1, "base64"}, {2, "uri"}, {3, "prompt"}};
constexpr sdp_keyword_row direction_rows[] = {
    {SDP_DIR_SENDONLY, "sendonly"},
    {SDP_DIR_RECVONLY, "recvonly"},
    {SDP_DIR_SENDRECV, "sendrecv"},
    {SDP_DIR_INACTIVE, "inactive"},
};
constexpr sdp_keyword_row av_attr_rows[] = {
    {SDP_ATTR_FMTP, "fmtp"},         {SDP_ATTR_RTPMAP, "rtpmap"},    {SDP_ATTR_PTIME, "ptime"},
    {SDP_ATTR_MAXPTIME, "maxptime"}, {SDP_DIR_SENDONLY, "sendonly"}, {SDP_DIR_RECVONLY, "recvonly"},
    {SDP_DIR_SENDRECV, "sendrecv"},  {SDP_DIR_INACTIVE, "inactive"},
};
constexpr sdp_keyword_row image_attr_rows[] = {
    {SDP_DIR_SENDONLY, "sendonly"},
    {SDP_DIR_RECVONLY, "recvonly"},
    {SDP_DIR_SENDRECV, "sendrecv"},
    {SDP_DIR_INACTIVE, "inactive"},
    {SDP_ATTR_T38_VERSION, "T38FaxVersion"},
    {SDP_ATTR_T38_MAX_BIT_RATE, "T38MaxBitRate"},
    {SDP_ATTR_T38_FILL_BIT_REMOVAL, "T38FaxFillBitRemoval"},
    {SDP_ATTR_T38_TRANSCODING_MMR, "T38FaxTranscodingMMR"},
    {SDP_ATTR_T38_TRANSCODING_JBIG, "T38FaxTranscodingJBIG"},
    {SDP_ATTR_T38_RATE_MANAGEMENT, "T38FaxRateManagement"},
    {SDP_ATTR_T38_MAX_BUFFER, "T38FaxMaxBuffer"},
    {SDP_ATTR_T38_MAX_DATAGRAM, "T38FaxMaxDatagram"},
    {SDP_ATTR_T38_UDP_EC, "T38FaxUdpEC"},
};
constexpr sdp_keyword_row other_attr_rows[] = {
    {SDP_ATTR_BEARER, "bearer"}, {SDP_ATTR_FRAMING, "framing"}, {SDP_ATTR_DIALED, "dialed"},
    {SDP_ATTR_CALLED, "called"}, {SDP_ATTR_DIALING, "dialing"}, {SDP_ATTR_SUBNET, "subnet"},
};
constexpr sdp_keyword_row ratemgmt_rows[] = {{1, "localTCF"}, {2, "transferredTCF"}};
constexpr sdp_keyword_row udpec_rows[] = {{1, "t38UDPFEC"}, {2, "t38UDPRedundancy"}};
constexpr sdp_keyword_row bearer_rows[] = {
    {'1', "v.21"}, {'2', "v.22"}, {'3', "v.22bis"}, {'4', "v.23"},    {'5', "v.32"},   {'6', "v.32bis"},
    {'7', "v.34"}, {'9', "v.90"}, {'x', "x2"},      {'k', "k56flex"}, {'i', "isdn64"}, {'j', "isdn56"},
};
constexpr sdp_keyword_row framing_rows[] = {
    {'P', "ppp-asynch"}, {'Y', "ppp-synch"}, {'H', "ppp-hdlc"}, {'S', "slip"}, {'A', "asynch"},
};
// The code of a static RTP payload type equals that payload type.
constexpr sdp_keyword_row codec_rows[] = {
    {0xBE, "EVRC"},
    {0xBF, "EVRC0"},
    {0xC0, "EVRC1"},
    {0xC1, "EVRCB"},
    {0xC2, "EVRCB0"},
    {0xC3, "EVRCB1"},
    {0xC7, "ISAC"},
    {0xC6, "IPCMWB"},
    {0xC5, "iLBC"},
    {0xC8, "speex"},
    {0xC4, "EG711A"},
    {0x7A, "UMTS-AMR"},
    {0x79, "HR-AMR"},
    {0x78, "FR-AMR"},
    {0x77, "BT656"},
    {0x75, "MP1S"},
    {0x74, "H263-1998"},
    {0x7F, "H263-2000"},
    {3, "GSM"},
    {1, "1016"},
    {3, "GSM"},
    {5, "DVI4"},
    {6, "DVI4"},
    {7, "LPC"},
    {10, "L16"},
    {11, "L16"},
    {12, "QCELP"},
    {13, "CN"},
    {14, "MPA"},
    {16, "DVI4"},
    {17, "DVI4"},
    {0x6E, "GSM-HR"},
    {0x6F, "GSM-EFR"},
    {0x70, "GSM-EHR"},
    {0x84, "DAT12"},
    {0x86, "L24"},
    {0x85, "L20"},
    {0x71, "L8"},
    {0x72, "RED"},
    {0x73, "VDVI"},
    {0x7D, "AMR-WB+"},
    {0x7C, "AMR-WB"},
    {0x7B, "AMR"},
    {0x83, "mpa-robust"},
    {0x82, "mpeg4-generic"},
    {0x81, "MP4V-ES"},
    {0x80, "H264"},
    {0x64, "tone"},
    {0x65, "telephone-event"},
    {0x7E, "CLEARMODE"},
    {0x66, "G726-64wb"},
    {0x6A, "AAL2-G726-40"},
    {0x69, "AAL2-G726-32"},
    {0x68, "AAL2-G726-24"},
    {0x67, "AAL2-G726-16"},
    {34, "H263"},
    {33, "MP2T"},
    {32, "MPV"},
    {31, "H261"},
    {28, "nv"},
    {26, "JPEG"},
    {25, "CelB"},
    {0x6D, "G.729E"},
    {0x6C, "G.729D"},
    {0x6B, "G.729A"},
    {18, "G.729"},
    {9, "G.722"},
    {15, "G.728"},
    {4, "G.723"},
    {0x62, "G726-32"},
    {0x60, "G726-16"},
    {0x61, "G726-24"},
    {0x63, "G726-40"},
    {0x6D, "G729E"},
    {0x6C, "G729D"},
    {0x6B, "G729A"},
    {18, "G729"},
    {9, "G722"},
    {15, "G728"},
    {4, "G723"},
    {8, "PCMA"},
    {0, "PCMU"},
};
static_assert(sizeof codec_rows / sizeof codec_rows[0] == 82);

}  // namespace

const sdp_table sdp_media_table = table_of(media_rows);
const sdp_table sdp_image_table = table_of(image_rows);
const sdp_table sdp_t38_format_table = table_of(t38_format_rows);
const sdp_table sdp_transport_table = table_of(transport_rows);
const sdp_table sdp_nettype_table = table_of(nettype_rows);
const sdp_table sdp_bwtype_table = table_of(bwtype_rows);
const sdp_table sdp_keymethod_table = table_of(keymethod_rows);
const sdp_table sdp_direction_table = table_of(direction_rows);
const sdp_table sdp_av_attr_table = table_of(av_attr_rows);
const sdp_table sdp_image_attr_table = table_of(image_attr_rows);
const sdp_table sdp_other_attr_table = table_of(other_attr_rows);
const sdp_table sdp_ratemgmt_table = table_of(ratemgmt_rows);
const sdp_table sdp_udpec_table = table_of(udpec_rows);
const sdp_table sdp_bearer_table = table_of(bearer_rows);
const sdp_table sdp_framing_table = table_of(framing_rows);
const sdp_table sdp_codec_table = table_of(codec_rows);
