// State shared by the socket entity, its receive thread and its resolvers.
// Not for other modules.
//
// The entity (SM thread) owns the records.  The receive thread reads the
// descriptor list and changes descriptor states, the accept lists of
// listening sockets and the round counter; both sides do so inside the
// critical section INIT (sock_lock).  Record fields the receive thread reads
// and the entity may change later (address list, type of service) and the
// entity id its messages go to change inside INIT too.  The resolvers touch
// only their own context and the resolver count, also inside INIT.
#pragma once
#include <atomic>
#include <deque>
#include <vector>

#include "platform/socket.h"
#include "platform/thread.h"
#include "runtime/msg.h"
#include "runtime/sock.h"
#include "runtime/timer.h"

namespace sock_rt {

// Descriptor states.
enum : u8 {
  DESC_BOUND = 10,
  DESC_LISTENING = 11,
  DESC_CONNECTING = 12,
  DESC_CONNECTED = 13,
  DESC_CLOSING = 15,
  DESC_RECREATE = 16,
};

struct sock_rec;

struct sock_desc {
  std::atomic<int> fd{PLAT_SOCK_NONE};
  u16 local_port = 0;
  u8 family = SOCK_FAMILY_IPV4;
  std::atomic<u8> state{DESC_RECREATE};
  sock_rec* owner = nullptr;
  std::deque<msg_t*> queue;  // messages waiting to be sent, oldest first
  u32 head_sent = 0;         // bytes of the first queued message already sent (TCP)
  u8 retries = 0;            // consecutive retries of a blocked send
  u32 send_errors = 0;
  u16 last_error = 0;
  bool listed = false;  // in the receive thread's list
  // Receive thread: round in which the descriptor was put into the poll set,
  // its slot there and the descriptor it was put in with.
  u32 poll_serial = 0;
  size_t poll_slot = 0;
  int poll_fd = PLAT_SOCK_NONE;
};

struct sock_rec {
  u8 sapi = 0;
  u16 nai = 0;
  u16 conn_id = 0;
  u8 address_count = 0;
  u32 address_net = 0;
  u8 family = SOCK_FAMILY_IPV4;
  u8 bind_address = 0;
  u16 port = 0;
  u8 kind = SOCK_KIND_UDP;
  ent_id_t control = 0;
  ent_id_t data = 0;
  u8 state_letter = 's';
  u32 receive_size = 1500;
  u32 retry_delay_ms = 100;
  u32 rcvbuf_size = 0;
  u8 retry_limit = 10;
  u8 keep_coalescing = 0;
  u8 listening = 0;
  std::atomic<u8> listen_started{0};
  u32 backlog = 1;
  u8 tos = 0;
  u8 cut_up = 0;                // a UDP datagram longer than receive_size goes up cut and marked
  u16 flow = 0;                 // sends still due before SOCK_COMMIT_CO
  std::vector<msg_t*> commits;  // SOCK_COMMIT_RQ waiting for the flow counter
  sock_desc* desc = nullptr;
  timer_cell_t* timer = nullptr;
  u16 timer_seq = 0;
  bool retry_pending = false;
  sock_rec* parent = nullptr;       // the listening socket of a child
  std::vector<sock_rec*> spare;     // listening socket: children free to accept into
  std::vector<sock_rec*> accepted;  // listening socket: children with a connection
};

struct resolver_ctx {
  msg_t* msg = nullptr;
  ent_id_t requester = 0;
  u32 tag = 0;
  char name[SOCK_DNS_NAME_MAX + 1] = {};
  plat_thread* thread = nullptr;
  bool finished = false;   // the thread has sent its answer
  bool abandoned = false;  // the entity stopped before the lookup ended
};

// Shared state.
struct shared_state {
  std::vector<sock_desc*> descs;  // the receive thread's list
  std::vector<resolver_ctx*> resolvers;
  u32 resolver_count = 0;
  std::atomic<u32> rounds{0};
  std::atomic<u8> config_pending{0};
  std::atomic<u8> stop{0};
  ent_id_t own_id = ENT_IP;
  plat_poller* poller = nullptr;
  plat_thread* rx_thread = nullptr;
  u32 buffer_cap = 16;  // receive buffers per datagram
};

extern shared_state sh;

// The critical section INIT around everything shared.
void sock_lock();
void sock_unlock();

// Scoped holder of that critical section.
class sock_hold {
 public:
  sock_hold() { sock_lock(); }
  ~sock_hold() { sock_unlock(); }
  sock_hold(const sock_hold&) = delete;
  sock_hold& operator=(const sock_hold&) = delete;
};

// Ends the receive thread's wait at once.
void wake_receiver();

// A message from ENT_PH_IT to ENT_IP about a socket.
void post_to_entity(code_t code, const sock_rec* r, const u8* body, u8 size);

// Report to ENT_SM ('e' event or 'r' error), sent from the entity's id.
void send_report(const sock_rec* r, u8 kind, u8 cls, u32 detail);

// Applies the options of an accepted or created socket (not the
// non-blocking mode); 0 or the configuration error byte with *err.
[[nodiscard]] u8 apply_socket_options(const sock_rec* r, int fd, u16* err);

// Frees the receive thread's spare buffers.
void release_spare_buffers();

}  // namespace sock_rt

// ---------------------------------------------------------------------------
// The entity side, split over sock_entity.cpp, sock_table.cpp, sock_desc.cpp,
// sock_flow.cpp and sock_requests.cpp; the entity (SM thread) only.

namespace sock_ent {

using namespace sock_rt;

// Socket table (sock_table.cpp).
struct table_state {
  std::vector<sock_rec*> slots;  // empty before the first configuration
  std::vector<sock_rec*> list;   // creation order
  u32 count = 0;
};
extern table_state tbl;
sock_rec* table_find(u8 sapi, u16 nai, u16 conn_id);
void table_insert(sock_rec* r);
void table_remove(sock_rec* r);
void list_remove(sock_rec* r);
u32 table_size_for(u16 max_nai);

// Descriptors (sock_desc.cpp).
void desc_link(sock_desc* d);
[[nodiscard]] u8 create_platform_socket(sock_rec* r, u16* err);
bool close_connection(sock_rec* r);
void close_for_recreate(sock_rec* r);
[[nodiscard]] u8 start_listening(sock_rec* r);
void destroy_record(sock_rec* r);
void remove_socket(sock_rec* r);

// Reports and flow control (sock_flow.cpp).
void send_queue(sock_rec* r);

// Requests of the users (sock_requests.cpp).
void send_rel_in(sock_rec* r, msg_t* m, u8 error);
void handle_resolved(msg_t* m);
void handle_user(msg_t* m);

// Helpers (sock_entity.cpp).
u32 copy_data(const msg_t* m, u8* out, u32 n);
void answer(msg_t* m, code_t code);

}  // namespace sock_ent
