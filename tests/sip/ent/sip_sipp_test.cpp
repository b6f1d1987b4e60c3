// ENT_SIP against SIPp on loopback (127.0.0.1 only), in real time with T1
// 100 ms and T2 800 ms: SIPp is the caller; a scripted session-control user
// answers each INVITE with 180 (when the scenario wants it) and, 300 ms
// later, 200, and each BYE with 200.
// Datagrams cross a UDP socket that stands in for the socket entity.  Each
// scenario must end with SIPp's exit status 0, the INVITE must reach the
// user once, and no call or server transaction may be left.  Every wait is
// bounded.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_parse.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_entity_int.h"
#include "sip/support/loopback_udp.h"
#include "sip/support/sipp_run.h"

namespace {

using clock_type = std::chrono::steady_clock;

int g_fd = -1;
int g_invites_out = 0;
std::vector<clock_type::time_point> g_options_out;
std::uint16_t g_port = 0;

// Every datagram of a scenario, both ways, as a pcap file of raw IPv4
// packets for tshark.
struct capture {
  FILE* f = nullptr;
  void open(const std::string& path) {
    f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    const std::uint32_t hdr[] = {0xa1b2c3d4u, 0x00040002u, 0, 0, 65535, 101};  // LINKTYPE_RAW
    std::fwrite(hdr, sizeof hdr, 1, f);
  }
  void add(const std::uint8_t* src, std::uint16_t sport, const std::uint8_t* dst, std::uint16_t dport, const void* data,
           std::size_t n) {
    if (f == nullptr) return;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const std::uint32_t total = static_cast<std::uint32_t>(28 + n);
    const std::uint32_t rec[] = {static_cast<std::uint32_t>(us / 1000000), static_cast<std::uint32_t>(us % 1000000),
                                 total, total};
    std::fwrite(rec, sizeof rec, 1, f);
    std::uint8_t ip[28] = {
        0x45, 0, static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total), 0, 0, 0x40, 0, 64, 17};
    std::memcpy(ip + 12, src, 4);
    std::memcpy(ip + 16, dst, 4);
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<std::uint8_t>(~sum >> 8);
    ip[11] = static_cast<std::uint8_t>(~sum);
    const std::uint16_t ulen = static_cast<std::uint16_t>(8 + n);
    const std::uint8_t udp[8] = {static_cast<std::uint8_t>(sport >> 8),
                                 static_cast<std::uint8_t>(sport),
                                 static_cast<std::uint8_t>(dport >> 8),
                                 static_cast<std::uint8_t>(dport),
                                 static_cast<std::uint8_t>(ulen >> 8),
                                 static_cast<std::uint8_t>(ulen),
                                 0,
                                 0};
    std::memcpy(ip + 20, udp, 8);
    std::fwrite(ip, sizeof ip, 1, f);
    std::fwrite(data, n, 1, f);
  }
  void close() {
    if (f != nullptr) std::fclose(f);
    f = nullptr;
  }
};
capture g_cap;
const std::uint8_t LOOPBACK[4] = {127, 0, 0, 1};

// Stands in for ENT_IP: each datagram request leaves through the socket.
void ip_handler(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ) {
    std::vector<std::uint8_t> d = rt_test::chain_bytes(m->p_buffer);
    if (m->p_buffer == nullptr) d.assign(Msg_data(m), Msg_data(m) + m->data_size);
    if (d.size() > SOCK_UDP_HEADER_SIZE) {
      if (std::memcmp(d.data() + SOCK_UDP_HEADER_SIZE, "INVITE ", 7) == 0) ++g_invites_out;
      if (std::memcmp(d.data() + SOCK_UDP_HEADER_SIZE, "OPTIONS ", 8) == 0) g_options_out.push_back(clock_type::now());
      sockaddr_in to{};
      to.sin_family = AF_INET;
      std::memcpy(&to.sin_addr, &d[4], 4);
      to.sin_port = htons(get_host16(&d[8]));
      g_cap.add(LOOPBACK, g_port, &d[4], get_host16(&d[8]), d.data() + SOCK_UDP_HEADER_SIZE,
                d.size() - SOCK_UDP_HEADER_SIZE);
      (void)sendto(g_fd, d.data() + SOCK_UDP_HEADER_SIZE, d.size() - SOCK_UDP_HEADER_SIZE, 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_SSC, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, ip_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::string scenario_dir() { return std::string(KV_SOURCE_DIR) + "/tests/sip/sipp/"; }

void send_to_sip(ent_id_t from, code_t code, const std::vector<std::uint8_t>& data, std::uint16_t nai,
                 std::uint16_t conn) {
  msg_t* m = rt_test::make_msg(from, ENT_SIP, code, {}, nai, conn);
  Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
  Send_msg(m);
  rt_test::pump();
}

// The user's answer to `request`: its text turned into the response and
// built as the kind's primitive.
std::vector<std::uint8_t> answer_prim(char kind, const std::string& request, const std::string& status_line) {
  std::string text = status_line + request.substr(request.find("\r\n"));
  const std::size_t to = text.find("\nTo:");
  const std::size_t eol = text.find("\r\n", to);
  if (text.substr(to, eol - to).find(";tag=") == std::string::npos) text.insert(eol, ";tag=tes1");
  sip_parser parser;
  sip_parse__start(parser, text.data(), text.size());
  (void)sip_parse_message(parser, 1);
  buffer_t* chain = nullptr;
  std::vector<std::uint8_t> body;
  if (sip_prim__build_up(sip_kind_index_rs[kind - 'a' + 1], 0, &chain) == 2) {
    body = rt_test::chain_bytes(chain);
    Free_buffer(chain);
  }
  return body;
}

// A request of the user: its text parsed and built as the kind's primitive.
std::vector<std::uint8_t> request_prim(char kind, std::string text) {
  sip_parser parser;
  sip_parse__start(parser, text.data(), text.size());
  (void)sip_parse_message(parser, 1);
  buffer_t* chain = nullptr;
  std::vector<std::uint8_t> body;
  if (sip_prim__build_up(sip_kind_index_rq[kind - 'A' + 1], 0, &chain) == 2) {
    body = rt_test::chain_bytes(chain);
    Free_buffer(chain);
  }
  return body;
}

std::string header_value(const std::string& text, const std::string& name) {
  const std::size_t at = text.find("\n" + name + ":");
  if (at == std::string::npos) return "";
  const std::size_t start = text.find_first_not_of(' ', at + name.size() + 2);
  return text.substr(start, text.find("\r\n", start) - start);
}

class SipSipp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sipp_test::have_sipp()) GTEST_SKIP() << "sipp is not installed";
    g_fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(g_fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(g_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(g_fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port = ntohs(a.sin_port);
    g_port = port;
    capture_path = ::testing::TempDir() + "sip_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                   "_" + std::to_string(getpid()) + ".pcap";
    g_cap.open(capture_path);
    rt_test::use_real_clock();
    rt_test::start_manual(TABLE);
    sip_config c;
    c.endpoint_count = 1;
    sip_config_endpoint& e = c.endpoints[0];
    e.nai = 1;
    e.address_type = 1;
    e.user_entity = ENT_SSC;
    e.transport_entity = ENT_IP;
    e.transport_nai = 2;
    e.t1_ms = 100;
    e.t2_ms = 800;
    e.hold_ms = 1000;
    std::vector<std::uint8_t> body(SIP_CONFIG_SIZE);
    sip_config_pack(c, body.data());
    send_to_sip(ENT_SM, SM_CONFIG_RQ, body, 0, 0);
    ASSERT_EQ(sip_entity_state().endpoints, 1u);
    rt_test::rec().clear();
  }
  void TearDown() override {
    if (g_fd < 0) return;
    g_cap.close();
    if (!HasFailure()) check_capture();
    rt_test::stop();
    close(g_fd);
    g_fd = -1;
  }

  // What the scripted user does beyond answering: on a CANCEL it answers
  // the CANCEL 200 and the INVITE 487; for glare it sends a re-INVITE once
  // the call is set up and ACKs its 200; mute never answers.
  enum class user { plain, cancel, glare, mute };

  // Runs the scenario to its end; SIPp's exit status.
  int run(const std::string& scenario, bool ringing, user mode = user::plain) {
    const std::string log = sipp_test::log_path(::testing::TempDir(), scenario);
    sipp_test::sipp_process sipp;
    if (!sipp.start("127.0.0.1:" + std::to_string(port) + " -sf " + scenario_dir() + scenario +
                        " -i 127.0.0.1 -p 0 -m 1 -nostdin -timeout 15s -timeout_error -max_recv_loops 100",
                    log))
      return -3;
    std::string last_invite, last_bye, last_cancel, first_invite;
    bool reinvited = false, reacked = false;
    auto ok_at = clock_type::time_point::max();
    std::uint16_t conn = 0;
    int status = -1;
    const auto deadline = clock_type::now() + std::chrono::seconds(20);
    while ((status = sipp.poll_exit()) == -1 && clock_type::now() < deadline) {
      pollfd p{g_fd, POLLIN, 0};
      if (poll(&p, 1, 5) > 0) {
        char buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(g_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) {
          const std::string text(buf, static_cast<std::size_t>(n));
          if (text.rfind("INVITE ", 0) == 0) {
            last_invite = text;
            if (first_invite.empty()) first_invite = text;
            ++invites_in;
          }
          if (text.rfind("CANCEL ", 0) == 0) last_cancel = text;
          if (text.rfind("BYE ", 0) == 0) last_bye = text;
          g_cap.add(reinterpret_cast<const std::uint8_t*>(&from.sin_addr), ntohs(from.sin_port), LOOPBACK, g_port,
                    text.data(), text.size());
          std::vector<std::uint8_t> d(SOCK_UDP_HEADER_SIZE + text.size());
          d[0] = 4;
          std::memcpy(&d[4], &from.sin_addr, 4);
          put_host16(&d[8], ntohs(from.sin_port));
          std::memcpy(&d[SOCK_UDP_HEADER_SIZE], text.data(), text.size());
          send_to_sip(ENT_PH_IT, SOCK_U_DA_IN, d, 2, 0);
        }
      }
      om_os_timer_poll();
      rt_test::pump();
      for (const auto& m : rt_test::rec().messages()) {
        if (m.to != ENT_SSC) continue;
        if (m.code == 225) {
          ++invites_up;
          conn = m.conn_id;
          if (ringing) send_to_sip(ENT_SSC, 'a', answer_prim('a', last_invite, "SIP/2.0 180 Ringing"), 1, conn);
          if (mode != user::mute) ok_at = clock_type::now() + std::chrono::milliseconds(300);
        }
        if (m.code == 228) send_to_sip(ENT_SSC, 'd', answer_prim('d', last_bye, "SIP/2.0 200 OK"), 1, conn);
        if (m.code == 229 && mode == user::cancel) {
          ok_at = clock_type::time_point::max();
          send_to_sip(ENT_SSC, 'e', answer_prim('e', last_cancel, "SIP/2.0 200 OK"), 1, conn);
          send_to_sip(ENT_SSC, 'a', answer_prim('a', first_invite, "SIP/2.0 487 Request Terminated"), 1, conn);
        }
        if (m.code == 226 && mode == user::glare && !reinvited) {
          reinvited = true;
          send_to_sip(ENT_SSC, 'A', request_prim('A', in_dialog("INVITE", first_invite, "z9hG4bK-re1")), 1, conn);
        }
        if (m.code == 193 && mode == user::glare && reinvited && !reacked) {
          reacked = true;
          send_to_sip(ENT_SSC, 'B', request_prim('B', in_dialog("ACK", first_invite, "z9hG4bK-re2")), 1, conn);
        }
        if (m.code == SIP_ERROR_IN && m.data.size() >= 2) errors.push_back(get_host16(m.data.data()));
      }
      rt_test::rec().clear();
      if (clock_type::now() >= ok_at) {
        ok_at = clock_type::time_point::max();
        send_to_sip(ENT_SSC, 'a', answer_prim('a', last_invite, "SIP/2.0 200 OK"), 1, conn);
      }
    }
    // Answered server transactions live for the hold time (1 s here).
    const auto settle = clock_type::now() + std::chrono::milliseconds(1300);
    while (clock_type::now() < settle) {
      usleep(10 * 1000);
      om_os_timer_poll();
      rt_test::pump();
    }
    if (status != 0) ADD_FAILURE() << "sipp log: " << log;
    return status;
  }

  // Our call to SIPp as UAS: INVITE at once; on its 200 our ACK, and BYE
  // 300 ms later.  SIPp's exit status.
  // With `cancel`: our CANCEL once SIPp rings, and our ACK of its 487.
  // With `glare`: a re-INVITE once the call is set up, our ACK of its
  // 491, then the BYE.
  int call_out(const std::string& scenario, bool cancel = false, bool glare = false, bool options = false) {
    const std::string log = sipp_test::log_path(::testing::TempDir(), scenario);
    std::uint16_t sipp_port = 0;
    {
      const ssc_test::udp probe;  // a free port for SIPp
      sipp_port = probe.port;
    }
    sipp_test::sipp_process sipp;
    if (!sipp.start("-sf " + scenario_dir() + scenario + " -i 127.0.0.1 -p " + std::to_string(sipp_port) +
                        " -m 1 -nostdin -timeout 15s -timeout_error -max_recv_loops 100",
                    log))
      return -3;
    usleep(300 * 1000);  // sipp binds its port
    const std::string us = "127.0.0.1:" + std::to_string(port);
    const std::string them = "sip:fax@127.0.0.1:" + std::to_string(sipp_port);
    auto req = [&](const std::string& method, const std::string& branch, int cseq, const std::string& to_tag) {
      return method + " " + them + " SIP/2.0\r\nVia: SIP/2.0/UDP " + us + ";branch=" + branch +
             "\r\nFrom: <sip:tessaly@" + us + ">;tag=tes9\r\nTo: <" + them + ">" +
             (to_tag.empty() ? "" : ";tag=" + to_tag) +
             "\r\nCall-ID: out-1@127.0.0.1\r\nCSeq: " + std::to_string(cseq) + " " + method +
             "\r\nContact: <sip:tessaly@" + us + ">\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    };
    const std::uint16_t conn = 5;
    if (options) send_to_sip(ENT_SSC, 'C', request_prim('C', req("OPTIONS", "z9hG4bK-opt1", 1, "")), 1, conn);
    else send_to_sip(ENT_SSC, 'A', request_prim('A', req("INVITE", "z9hG4bK-out1", 1, "")), 1, conn);
    std::string peer_tag, reject_tag;
    auto bye_at = clock_type::time_point::max();
    bool acked = false, ringing = false, cancelled = false;
    bool reinvited = false, pending_491 = false, reacked = false;
    int status = -1;
    const auto deadline = clock_type::now() + std::chrono::seconds(20);
    while ((status = sipp.poll_exit()) == -1 && clock_type::now() < deadline) {
      pollfd p{g_fd, POLLIN, 0};
      if (poll(&p, 1, 5) > 0) {
        char buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(g_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) {
          const std::string text(buf, static_cast<std::size_t>(n));
          if (text.rfind("SIP/2.0 200", 0) == 0 && header_value(text, "CSeq").find("INVITE") != std::string::npos) {
            const std::string to = header_value(text, "To");
            peer_tag = to.substr(to.find(";tag=") + 5);
          }
          if (text.rfind("SIP/2.0 180", 0) == 0) ringing = true;
          if (text.rfind("SIP/2.0 491", 0) == 0) pending_491 = true;
          if (text.rfind("SIP/2.0 487", 0) == 0) {
            const std::string to = header_value(text, "To");
            reject_tag = to.substr(to.find(";tag=") + 5);
          }
          g_cap.add(reinterpret_cast<const std::uint8_t*>(&from.sin_addr), ntohs(from.sin_port), LOOPBACK, g_port,
                    text.data(), text.size());
          std::vector<std::uint8_t> d(SOCK_UDP_HEADER_SIZE + text.size());
          d[0] = 4;
          std::memcpy(&d[4], &from.sin_addr, 4);
          put_host16(&d[8], ntohs(from.sin_port));
          std::memcpy(&d[SOCK_UDP_HEADER_SIZE], text.data(), text.size());
          send_to_sip(ENT_PH_IT, SOCK_U_DA_IN, d, 2, 0);
        }
      }
      om_os_timer_poll();
      rt_test::pump();
      for (const auto& m : rt_test::rec().messages()) {
        if (m.to == ENT_SM && m.code == SM_REPORT_IN && m.data.size() >= 5)
          reports.emplace_back(get_host16(m.data.data() + 2), m.data[4]);
        if (m.to != ENT_SSC) continue;
        if (m.code == SIP_ERROR_IN && m.data.size() >= 2) errors.push_back(get_host16(m.data.data()));
        if (m.code == 193 && cancel && ringing && !cancelled) {
          cancelled = true;  // the branch we give is replaced by the INVITE's
          send_to_sip(ENT_SSC, 'E', request_prim('E', req("CANCEL", "z9hG4bK-can1", 1, "")), 1, conn);
        } else if (m.code == 193 && cancel && !reject_tag.empty() && !acked) {
          acked = true;
          send_to_sip(ENT_SSC, 'B', request_prim('B', req("ACK", "z9hG4bK-ack9", 1, reject_tag)), 1, conn);
        }
        if (m.code == 193 && glare && pending_491 && !reacked) {
          reacked = true;
          send_to_sip(ENT_SSC, 'B', request_prim('B', req("ACK", "z9hG4bK-reack", 2, peer_tag)), 1, conn);
          bye_at = clock_type::now() + std::chrono::milliseconds(300);
        }
        if (m.code == 193 && !peer_tag.empty() && !acked) {
          acked = true;
          send_to_sip(ENT_SSC, 'B', request_prim('B', req("ACK", "z9hG4bK-ack1", 1, peer_tag)), 1, conn);
          bye_at = clock_type::now() + std::chrono::milliseconds(300);
        }
        if (m.code == 196) bye_done = true;
      }
      rt_test::rec().clear();
      if (clock_type::now() >= bye_at && glare && !reinvited) {
        bye_at = clock_type::time_point::max();
        reinvited = true;
        send_to_sip(ENT_SSC, 'A', request_prim('A', req("INVITE", "z9hG4bK-re1", 2, peer_tag)), 1, conn);
      }
      if (clock_type::now() >= bye_at) {
        bye_at = clock_type::time_point::max();
        send_to_sip(ENT_SSC, 'D', request_prim('D', req("BYE", "z9hG4bK-bye1", 2, peer_tag)), 1, conn);
      }
    }
    const auto settle = clock_type::now() + std::chrono::milliseconds(1300);
    while (clock_type::now() < settle) {
      usleep(10 * 1000);
      om_os_timer_poll();
      rt_test::pump();
    }
    if (status != 0) ADD_FAILURE() << "sipp log: " << log;
    return status;
  }

  // A request of ours inside the dialog SIPp's INVITE opened.
  std::string in_dialog(const std::string& method, const std::string& invite, const std::string& branch) const {
    std::string uri = header_value(invite, "Contact");
    uri = uri.substr(uri.find('<') + 1);
    uri = uri.substr(0, uri.find('>'));
    const std::string us = "127.0.0.1:" + std::to_string(port);
    return method + " " + uri + " SIP/2.0\r\nVia: SIP/2.0/UDP " + us + ";branch=" + branch + "\r\nFrom: <sip:fax@" +
           us + ">;tag=tes1\r\nTo: " + header_value(invite, "From") +
           "\r\nCall-ID: " + header_value(invite, "Call-ID") + "\r\nCSeq: 1 " + method + "\r\nContact: <sip:fax@" + us +
           ">\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
  }

  // tshark on the capture: nothing malformed and no expert error; a copy
  // flagged as resent keeps its original's branch and CSeq; a CANCEL has
  // its INVITE's branch and CSeq number; an ACK has the INVITE's branch
  // after a failure and a new one after a 2xx.
  void check_capture() {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) return;
    const std::string out = capture_path + ".txt";
    const std::string bad = capture_path + ".bad";
    ASSERT_EQ(std::system(("tshark -r " + capture_path + " -d udp.port==" + std::to_string(port) +
                           ",sip -Y sip -T fields -E separator='|' -e sip.Method -e sip.Status-Code -e sip.Via.branch "
                           "-e sip.CSeq.seq -e sip.CSeq.method -e sip.resend -e sip.Call-ID >" +
                           out + " 2>/dev/null")
                              .c_str()),
              0);
    ASSERT_EQ(std::system(("tshark -r " + capture_path + " -d udp.port==" + std::to_string(port) +
                           ",sip -Y '_ws.malformed || _ws.expert.severity == error' -T fields -e frame.number >" + bad +
                           " 2>/dev/null")
                              .c_str()),
              0);
    EXPECT_EQ(read_lines(bad).size(), 0u) << "malformed or expert error in " << capture_path;
    struct pkt {
      std::string method, status, branch, seq, cseq_method, resend, callid;
    };
    std::vector<pkt> pkts;
    for (const std::string& l : read_lines(out)) {
      std::vector<std::string> f;
      std::size_t at = 0;
      for (;;) {
        const std::size_t bar = l.find('|', at);
        f.push_back(l.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
        if (bar == std::string::npos) break;
        at = bar + 1;
      }
      f.resize(7);
      // Only the top Via's branch.
      f[2] = f[2].substr(0, f[2].find(','));
      pkts.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
    }
    ASSERT_FALSE(pkts.empty()) << capture_path;
    for (std::size_t i = 0; i < pkts.size(); ++i) {
      const pkt& p = pkts[i];
      if (!p.resend.empty() && p.resend != "0" && p.resend != "False") {
        bool found = false;
        for (std::size_t j = 0; j < i; ++j)
          found |= pkts[j].method == p.method && pkts[j].status == p.status && pkts[j].branch == p.branch &&
                   pkts[j].seq == p.seq && pkts[j].callid == p.callid;
        EXPECT_TRUE(found) << "resent copy " << i << " changed its branch or CSeq";
      }
      if (p.method != "CANCEL" && p.method != "ACK") continue;
      const pkt* invite = nullptr;
      bool accepted = false;
      for (std::size_t j = 0; j < i; ++j) {
        const pkt& q = pkts[j];
        if (q.callid != p.callid || q.seq != p.seq) continue;
        if (q.method == "INVITE" && invite == nullptr) invite = &q;
        if (q.method.empty() && q.cseq_method == "INVITE" && !q.status.empty() && q.status[0] == '2') accepted = true;
      }
      if (invite == nullptr) continue;
      if (p.method == "CANCEL" || !accepted)
        EXPECT_EQ(p.branch, invite->branch) << p.method << " " << i << " of " << capture_path;
      else EXPECT_NE(p.branch, invite->branch) << "2xx ACK " << i << " of " << capture_path;
      if (p.method == "ACK" && !accepted) ++acks_on_invite_branch;
      if (p.method == "CANCEL") ++cancels_seen;
    }
  }
  static std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return lines;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
      std::string l(buf);
      while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
      if (!l.empty()) lines.push_back(l);
    }
    std::fclose(f);
    return lines;
  }

  std::vector<std::pair<std::uint16_t, std::uint8_t>> reports;  // cause, detail to ENT_SM
  std::string capture_path;
  int acks_on_invite_branch = 0;
  int cancels_seen = 0;
  std::uint16_t port = 0;
  std::vector<std::uint16_t> errors;
  bool bye_done = false;
  int invites_up = 0;
  int invites_in = 0;
};

TEST_F(SipSipp, UacCall) {
  EXPECT_EQ(run("uac-call.xml", true), 0);
  EXPECT_EQ(invites_up, 1);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(SipSipp, UacLoss) {
  EXPECT_EQ(run("uac-loss.xml", false), 0);
  EXPECT_GE(invites_in, 2);  // SIPp's copies came
  EXPECT_EQ(invites_up, 1);  // and reached the user once
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(SipSipp, UacUnknown) {
  EXPECT_EQ(run("uac-unknown.xml", true), 0);  // the 481 reached SIPp's own port
  EXPECT_EQ(invites_up, 0);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(SipSipp, UacBadCseq) {
  EXPECT_EQ(run("uac-bad-cseq.xml", true), 0);
  EXPECT_EQ(invites_up, 1);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(SipSipp, UacCancel) {
  EXPECT_EQ(run("uac-cancel.xml", true, user::cancel), 0);  // 200 to the CANCEL, 487 to the INVITE
  EXPECT_EQ(invites_up, 1);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(SipSipp, UacGlare) {
  EXPECT_EQ(run("uac-glare.xml", true, user::glare), 0);  // SIPp got its 491
  EXPECT_EQ(invites_up, 1);                               // its re-INVITE never reached the user
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(SipSipp, UacMute) {
  const auto start = clock_type::now();
  EXPECT_EQ(run("uac-mute.xml", false, user::mute), 0);                   // SIPp got its 408
  EXPECT_GE(clock_type::now() - start, std::chrono::milliseconds(3000));  // the supervision interval
  EXPECT_EQ(invites_up, 1);
  EXPECT_EQ(errors, (std::vector<std::uint16_t>{25}));
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(SipSipp, UasSlow) {
  g_invites_out = 0;
  EXPECT_EQ(call_out("uas-slow.xml"), 0);
  EXPECT_EQ(g_invites_out, 4);  // 0, T1, 3 T1, 7 T1, then the 180 stops them
  EXPECT_TRUE(bye_done);
  EXPECT_TRUE(errors.empty()) << (errors.empty() ? 0 : errors[0]);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(SipSipp, UasCancel) {
  EXPECT_EQ(call_out("uas-cancel.xml", true), 0);  // SIPp got the CANCEL and our ACK of its 487
  EXPECT_TRUE(errors.empty()) << (errors.empty() ? 0 : errors[0]);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(SipSipp, UasGlare) {
  EXPECT_EQ(call_out("uas-glare.xml", false, true), 0);  // both re-INVITEs got 491
  EXPECT_TRUE(bye_done);
  EXPECT_TRUE(errors.empty()) << (errors.empty() ? 0 : errors[0]);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(SipSipp, UasOptionsSlow) {
  g_options_out.clear();
  EXPECT_EQ(call_out("uas-options-slow.xml", false, false, true), 0);
  // 0, 0.1, 0.3, 0.7 s (doubling), the 100 at 1 s, then T2: 1.8 s; the 200
  // at 2 s ends it.
  ASSERT_EQ(g_options_out.size(), 5u);
  const auto ms = [](clock_type::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  const long want[] = {100, 200, 400, 1100};
  for (std::size_t i = 1; i < g_options_out.size(); ++i) {
    const long gap = static_cast<long>(ms(g_options_out[i] - g_options_out[i - 1]));
    EXPECT_NEAR(gap, want[i - 1], 30) << "gap " << i;
  }
  EXPECT_TRUE(errors.empty()) << (errors.empty() ? 0 : errors[0]);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(SipSipp, UasForks) {
  EXPECT_EQ(call_out("uas-forks.xml"), 0);
  EXPECT_TRUE(bye_done);
  const std::pair<std::uint16_t, std::uint8_t> fourth{38, 3};  // a fourth dialog is dropped
  EXPECT_EQ(std::count(reports.begin(), reports.end(), fourth), 1);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);  // the early forks ended with the fork timer
}

TEST_F(SipSipp, UasSilent) {
  g_invites_out = 0;
  EXPECT_EQ(call_out("uas-silent.xml"), 0);
  EXPECT_EQ(g_invites_out, 7);                          // 0, 0.1, 0.3, 0.7, 1.5, 3.1, 6.3 s
  EXPECT_EQ(errors, (std::vector<std::uint16_t>{24}));  // at 64 T1
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

}  // namespace
