// The protocol's limits, shared by the service and its clients, so that a
// client can refuse before sending what the service would refuse. Past any
// limit marked LIMIT the service answers "ERROR(LIMIT)" and closes the
// connection; nothing is stored.
#pragma once

#include <chrono>
#include <cstddef>

// Longest line a client may send, line feed excluded. LIMIT.
constexpr std::size_t max_line_bytes = 4 * 1024 * 1024;

// Most lines a putpic upload may announce. LIMIT, answered right after the
// count line, before any picture line is read.
constexpr int max_upload_lines = 1024 * 1024;

// Most bytes a putpic upload's lines may add up to, line feeds included.
// LIMIT.
constexpr std::size_t max_upload_bytes = 64 * 1024 * 1024;

// Longest SNG text the service writes for one picture: putpic refuses a
// picture whose stored text would be longer (LIMIT), and getpic never builds
// a longer text than that plus the one blank that reading adds to a picture's
// text chunk.
constexpr std::size_t max_picture_bytes = 64 * 1024 * 1024;

// Longest password a picture may be stored with, in either mode: putpic
// answers "ERROR(ARG)" past it.
constexpr std::size_t max_password_bytes = 4096;

// getpic does not compare a candidate longer than twice the stored password
// plus this many bytes: such a candidate never passes. One long enough
// candidate holding every byte value many times would otherwise contain
// every short password as a subsequence.
constexpr std::size_t candidate_slack_bytes = 16;

// A transfer that makes no progress for this long ends the connection: a
// line that has begun to arrive, an upload, or an answer the peer does not
// read.
constexpr std::chrono::seconds stall_timeout{60};

// A line, or a putpic upload, must arrive whole within this time of its
// first byte, and an answer must be taken whole within this time of its
// first send; otherwise the connection is closed.
constexpr std::chrono::minutes transfer_deadline{10};
