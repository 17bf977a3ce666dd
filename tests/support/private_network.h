// Each test process that starts the service gets a network of its own, so
// that tests bind the service's fixed port at the same time without meeting,
// and never meet a quarn already serving on the machine. The process enters
// a new network namespace before main (before any thread exists), with `lo`
// up and the documentation networks 192.0.2.0/24, 198.51.100.0/24 and
// 203.0.113.0/24 local on it, so that a client can reach the service from an
// address that is not loopback.
//
// Where no namespace can be made, the process stays on the machine's network
// and says so once on standard error; its tests then take a lock file in
// turn (QUARN_TEST_PORT_LOCK), held from the first test until the process
// ends, so that processes that use the fixed ports never run at once.
#pragma once

// Whether this process runs in a network namespace of its own.
bool on_private_network();

// Whether a client socket can be bound to `address` here, as one of the
// documentation networks' addresses can on a private network.
bool can_bind_address(const char* address);
