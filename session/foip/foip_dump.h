// Texts of the FOIP module information and configuration dumps (for the
// configuration trace file and tests).
#pragma once

#include <cstdio>
#include <string>

#include "fax/tiff.h"
#include "session/foip/foip_err.h"
#include "session/config/foip_param.h"

struct foip__na_ctx;

// "%s(a.b.c.d)", "%s(IPv6 not supported)" or "%s(empty)".
void foip__ip_addr_text(char* out, std::size_t room, const char* prefix, const om_ip_addr_t& a);
// Names of the bits set in value, lowest first, one per line; every line
// after the first indented by `indent` blanks (at most 99).  When the next
// line would not fit in room, the text ends with the indent and "...".
std::string foip__dsp_bfi(unsigned indent, u32 value, const foip__name_entry* names, std::size_t room);

std::string foip__module_info_text();
std::string foip__dsp_compilation_flags();
std::string foip__dsp_sizeof();
std::string foip__glb_config_text(const foip__global_param& p);
// An accepted registration request (the password is not written out).
std::string foip__sip_register_param_text(const foip__sip_register_param& p);
// Prints it on the global event display (class FOIP__CNF_GLB).
void foip__dsp_sip_register_param(const foip__sip_register_param& p);
// s (may be null) adds the effective media ports.
std::string foip__session_param_text(const foip__session_param& p, const foip__na_ctx* s);

// TIFF file contents: the heading of a file and the block of one page
// (the file ends with "           --------------------------\n").
std::string foip__tiff_file_head_text(const char* name);
std::string foip__tiff_page_text(unsigned page, const tiff__pg_header& h);

// Pool and timer-cell counters of the runtime; the per-session figures are
// the maxima divided by the high-water mark of session contexts.
std::string foip__memory_statistics_text(u16 sessions_high_water);

// Module information, build flags and structure sizes, for the
// configuration trace file of the application (its write_dumps hook).
void foip__write_dumps(std::FILE* file);
