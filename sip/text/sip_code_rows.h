// Coded values of header parameters and tokens as code rows: one set of rows
// read by the header parsers and by the primitive value tables alike.
#pragma once

#include "sip/text/sip_scan.h"

namespace sip_codes {

inline constexpr sip_code_row algorithms[] = {{'M', "MD5"}, {'D', "MD5-sess"}};
inline constexpr sip_code_row qops[] = {{'A', "auth"}, {'I', "auth-int"}};
inline constexpr sip_code_row stales[] = {{'T', "true"}, {'F', "false"}};
inline constexpr sip_code_row option_tags[] = {{'f', "histinfo"},
                                               {'r', "replaces"},
                                               {'t', "timer"},
                                               {'1', "100rel"},
                                               {'p', "precondition"},
                                               {'h', "path"},
                                               {'l', "recipient-list-invite"}};
inline constexpr sip_code_row refreshers[] = {{'s', "uas"}, {'c', "uac"}};
inline constexpr sip_code_row content_codings[] = {
    {'g', "gzip"}, {'c', "compress"}, {'d', "deflate"}, {'i', "identity"}};
inline constexpr sip_code_row contact_actions[] = {{'p', "proxy"}, {'r', "redirect"}};
inline constexpr sip_code_row priorities[] = {
    {'e', "emergency"}, {'u', "urgent"}, {'n', "normal"}, {'o', "non-urgent"}};
inline constexpr sip_code_row privacy_values[] = {{'h', "header"},   {'s', "session"}, {'u', "user"},   {'n', "none"},
                                                  {'c', "critical"}, {'i', "id"},      {'t', "history"}};
inline constexpr sip_code_row reason_protocols[] = {{'q', "q.850"}, {'s', "sip"}};
inline constexpr sip_code_row purposes[] = {{'i', "icon"}, {'n', "info"}, {'c', "card"}};
inline constexpr sip_code_row disposition_types[] = {
    {'r', "render"}, {'s', "session"}, {'t', "icon"}, {'a', "alert"}, {'i', "signal"}};
inline constexpr sip_code_row handlings[] = {{'o', "optional"}, {'r', "required"}};
inline constexpr sip_code_row diversion_reasons[] = {{1, "unknown"},         {2, "user-busy"},     {3, "no-answer"},
                                                     {4, "unavailable"},     {5, "unconditional"}, {6, "time-of-day"},
                                                     {7, "do-not-disturb"},  {8, "deflection"},    {9, "follow-me"},
                                                     {10, "out-of-service"}, {11, "away"}};
inline constexpr sip_code_row diversion_privacy[] = {{1, "full"}, {2, "name"}, {3, "uri"}, {4, "off"}};
inline constexpr sip_code_row screens[] = {{1, "yes"}, {0, "no"}};
inline constexpr sip_code_row early_media[] = {{1, "sendrecv"}, {2, "sendonly"}, {3, "recvonly"},
                                               {4, "inactive"}, {5, "gated"},    {6, "supported"}};
inline constexpr sip_code_row request_dispositions[] = {
    {1, "proxy"},   {2, "redirect"},   {3, "cancel"},   {4, "no-cancel"},   {5, "fork"},   {6, "no-fork"},
    {7, "recurse"}, {8, "no-recurse"}, {9, "parallel"}, {10, "sequential"}, {11, "queue"}, {12, "no-queue"}};

}  // namespace sip_codes
