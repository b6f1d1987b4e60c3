// Fuzz target: the SIP URI parser, with and without URI parameters.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "sip/codec/sip_scan.h"
#include "sip/codec/sip_uri.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    for (int pass = 0; pass < 2; ++pass) {
        std::unique_ptr<char[]> buf(new char[size == 0 ? 1 : size]);
        if (size != 0) std::memcpy(buf.get(), data, size);
        sip_scan_state.cursor = buf.get();
        sip_scan_state.end = buf.get() + size;
        sip_scan_state.line_end = buf.get() + size;
        sip_addr addr;
        int r = pass == 0 ? sip_parse_uri(&addr) : sip_parse_uri_noparams(&addr);
        if (r != 2 && r != 3) __builtin_trap();
        if (sip_scan_state.cursor != sip_scan_state.line_end) __builtin_trap();
        if (r == 2) {
            // Every recorded text lies inside the input or is 4 address bytes.
            if (addr.user.len > 64 || addr.host.len > 64 || (addr.ipv4.len != 0 && addr.ipv4.len != 4))
                __builtin_trap();
        }
        sip_work__release();
    }
    return 0;
}
