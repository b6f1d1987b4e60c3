// Fuzz target: the SIP message parser, as one datagram and as a stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "sip/codec/sip_parse.h"
#include "sip/codec/sip_scan.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// No record holds a line break, and no count passes its rows.
void check_area(const char* buf, std::size_t size) {
    const sip_hdr_area_t& a = sip_hdr_area;
    check(a.count[59] <= SIP_MAX_VIA && a.count[12] <= SIP_MAX_CONTACT && a.count[48] <= SIP_MAX_ROUTE &&
          a.count[62] <= SIP_MAX_BODY && a.count[7] <= SIP_MAX_ALLOW && a.count[23] <= 1 && a.count[56] <= 1);
    auto no_break = [](sip_str s) {
        for (std::uint16_t i = 0; i < s.len; ++i) check(s.ptr[i] != '\r' && s.ptr[i] != '\n');
    };
    if (a.count[23]) no_break(a.from.display), no_break(a.from.tag), no_break(a.from.params_other);
    if (a.count[56]) no_break(a.to.display), no_break(a.to.tag);
    for (unsigned i = 0; i < a.count[59]; ++i) no_break(a.via[i].branch), no_break(a.via[i].params_other);
    if (a.count[2]) no_break(a.status_line.reason);
    for (unsigned i = 0; i < a.count[62]; ++i) {
        const sip_str& b = a.body[i].text;
        check(b.len == 0 || (b.ptr >= buf && b.ptr + b.len <= buf + size));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 70000) return 0;
    for (int datagram = 1; datagram >= 0; --datagram) {
        std::unique_ptr<char[]> buf(new char[size == 0 ? 1 : size]);
        if (size != 0) std::memcpy(buf.get(), data, size);
        sip_parse__start(buf.get(), size);
        for (int n = 0; n < 64; ++n) {
            char* before = sip_scan_state.cursor;
            std::uint8_t r = sip_parse_message(datagram);
            check(sip_scan_state.cursor >= buf.get() && sip_scan_state.cursor <= buf.get() + size);
            check(sip_scan_state.end <= buf.get() + size);
            if (r == SIP_PARSE_DONE || r == SIP_PARSE_MORE) check_area(buf.get(), size);
            if (r != SIP_PARSE_MORE || sip_scan_state.cursor <= before) break;
            sip_hdr_count__reset();
            sip_hdr_area.index = 0;
        }
        sip_work__release();
    }
    return 0;
}
