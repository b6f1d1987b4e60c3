// Media types and subtypes of Content-Type and Accept, and the ISUP base
// values of their parameters, as code rows: one set of rows read by the
// header parsers and by the primitive value tables alike.
#pragma once

#include "sip/text/sip_scan.h"

namespace sip_media {

inline constexpr sip_code_row media_types[] = {{'*', "*"},     {'M', "multipart"}, {'E', "message"},
                                               {'U', "audio"}, {'V', "video"},     {'O', "model"},
                                               {'I', "image"}, {'T', "text"},      {'A', "application"}};

inline constexpr sip_code_row multipart_subtypes[] = {{'*', "*"},       {'m', "mixed"},     {'a', "alternative"},
                                                      {'d', "digest"},  {'p', "parallel"},  {'f', "form-data"},
                                                      {'r', "related"}, {'e', "report"},    {'v', "voice-message"},
                                                      {'s', "signed"},  {'n', "encrypted"}, {'b', "byteranges"}};
inline constexpr sip_code_row message_subtypes[] = {{'*', "*"},
                                                    {'r', "rfc822"},
                                                    {'p', "partial"},
                                                    {'e', "external-body"},
                                                    {'n', "news"},
                                                    {'h', "http"},
                                                    {'d', "delivery-status"},
                                                    {'i', "disposition-notification"},
                                                    {'s', "s-http"},
                                                    {'f', "sipfrag"},
                                                    {'m', "sip"}};
inline constexpr sip_code_row image_subtypes[] = {{'*', "*"},    {'g', "gif"},  {'i', "ief"}, {'f', "g3fax"},
                                                  {'t', "tiff"}, {'j', "jpeg"}, {'8', "t38"}};
inline constexpr sip_code_row audio_subtypes[] = {{'*', "*"},         {'b', "basic"},           {'a', "32kadpcm"},
                                                  {'l', "L16"},       {'t', "telephone-event"}, {'o', "tone"},
                                                  {'p', "parityfec"}, {'m', "MP4A-LATM"},       {'g', "G.722.1"}};
inline constexpr sip_code_row video_subtypes[] = {
    {'*', "*"}, {'m', "mpeg"}, {'p', "pointer"}, {'a', "parityfec"}, {0x81, "MP4V-ES"}};
inline constexpr sip_code_row model_subtypes[] = {{'*', "*"}, {'i', "iges"}, {'v', "vrml"}, {'m', "mesh"}};
inline constexpr sip_code_row text_subtypes[] = {{'*', "*"},
                                                 {'p', "plain"},
                                                 {'r', "richtext"},
                                                 {'e', "enriched"},
                                                 {'s', "sgml"},
                                                 {'u', "uri-list"},
                                                 {'f', "rfc822-headers"},
                                                 {'c', "css"},
                                                 {'x', "xml"},
                                                 {'d', "directory"},
                                                 {'a', "calendar"},
                                                 {'t', "t140"},
                                                 {'i', "parityfec"},
                                                 {'m', "xml+msrtc.pidf"},
                                                 {'h', "html"}};
inline constexpr sip_code_row application_subtypes[] = {{'*', "*"},
                                                        {'a', "octet-stream"},
                                                        {'b', "postscript"},
                                                        {'c', "oda"},
                                                        {'d', "news-message-id"},
                                                        {'e', "news-transmission"},
                                                        {'f', "x400-bp"},
                                                        {'g', "sgml"},
                                                        {'h', "cals-1840"},
                                                        {'i', "pgp-encrypted"},
                                                        {'j', "pgp-signature"},
                                                        {'k', "pgp-keys"},
                                                        {'l', "vemmi"},
                                                        {'m', "marc"},
                                                        {'n', "pkcs7-mime"},
                                                        {'o', "pkcs7-signature"},
                                                        {'p', "pkcs10"},
                                                        {'q', "EDIFACT"},
                                                        {'r', "EDI-X12"},
                                                        {'s', "EDI-Consent"},
                                                        {'t', "xml"},
                                                        {'u', "batch-SMTP"},
                                                        {'v', "pkixcmp"},
                                                        {'w', "ipp"},
                                                        {'x', "ocsp-request"},
                                                        {'y', "ocsp-response"},
                                                        {'z', "pkix-cer"},
                                                        {'A', "pkix-crl"},
                                                        {'B', "index"},
                                                        {'C', "index.cmd"},
                                                        {'D', "index.response"},
                                                        {'E', "index.obj"},
                                                        {'F', "index.vnd"},
                                                        {'G', "http"},
                                                        {'I', "iotp"},
                                                        {'J', "whoispp-query"},
                                                        {'K', "whoispp-response"},
                                                        {'L', "parityfec"},
                                                        {'M', "dvcs"},
                                                        {'N', "sieve"},
                                                        {'X', "watcherinfo+xml"},
                                                        {'W', "kpml-response+xml"},
                                                        {'V', "dialog-info+xml"},
                                                        {'U', "dtmf-relay"},
                                                        {'T', "simple-message-summary"},
                                                        {'S', "dtmf"},
                                                        {'R', "xpidf+xml"},
                                                        {'Q', "cpim-pidf+xml"},
                                                        {'O', "QSIG"},
                                                        {'P', "ISUP"},
                                                        {'H', "sdp"},
                                                        {'Y', "reginfo+xml"},
                                                        {'Z', "vnd.etsi.aoc+xml"},
                                                        {'0', "vnd.etsi.mcid+xml"},
                                                        {'1', "simservs+xml"},
                                                        {'2', "vnd.etsi.pstn+xml"},
                                                        {'3', "x-session-info"}};
static_assert(sizeof application_subtypes / sizeof application_subtypes[0] == 57);

inline constexpr sip_code_row base_values[] = {{'8', "itu-t88"}, {'9', "itu-t92+"}, {'a', "ansi88"},
                                               {'0', "ansi00"},  {'1', "etsi121"},  {'3', "etsi356"},
                                               {'7', "gr317"},   {'t', "ttc87"},    {'c', "ttc93+"}};

}  // namespace sip_media
