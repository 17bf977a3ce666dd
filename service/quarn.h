// The picture service: the connection loop and the command handlers. Each
// connection runs client_thread on a thread of its own; the handlers write
// their answers on the connection and let only transport failures, limits
// and store set-up failures through, which end that connection.
#pragma once

#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "net/sockets.h"
#include "service/client_address.h"
#include "service/memory_budget.h"
#include "service/password.h"
#include "service/password_budget.h"
#include "sng/sng.h"

// The port the service listens on, and its listen backlog.
constexpr int quarn_port = 18360;
constexpr int quarn_backlog = 128;

// Runs the accept loop for ever, logging on standard error (service/log.h)
// from the moment the port is bound; returns 1 after a socket failure, having
// written "Socket error: " and the failed call's name as a line of its own.
// When the port cannot be bound, that line is all it writes.
int run_service();

// The most connections served at once under a descriptor limit, so that
// accept and the store still find descriptors when the connections are many:
// the limit less a quarter, and less at least 16.
long connection_cap(rlim_t descriptor_limit);

// The memory budget all connections share, sized for this machine.
memory_budget& process_budget();

// The failed password comparisons allowed to each client, shared by all
// connections.
password_budget& process_password_budget();

// Reads and executes command lines until "exit", an empty line, the peer's
// shutdown, a line of another protocol or any failure. Proxies on the same
// host may name the client they act for in PROXY lines before the first
// command (proxy_chain, service/proxy_line.h).
void client_thread(std::shared_ptr<client> connection);

// The handlers take the memory they hold for pictures and answers from
// `account`, the connection's share of the process's memory budget.
void send_list(std::shared_ptr<client>& connection, memory_account& account);
// Compares candidates while the password budget of `served`, the client the
// connection serves, lasts; loopback clients are not counted.
void get_picture(std::shared_ptr<client>& connection,
                 const std::vector<std::string>& words, memory_account& account,
                 const client_address& served);
void put_picture(std::shared_ptr<client>& connection,
                 const std::vector<std::string>& words,
                 memory_account& account);

// Sets the picture's time stamp to the current UTC time.
void init_time(sng& picture);

std::string int_to_string(int value);
// Reads a leading decimal number like atoi; 0 when there is none.
int string_to_int(const std::string& text);
