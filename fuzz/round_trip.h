// The writer-then-reader round trip of an SNG picture, checked record by
// record: the fuzzer runs it on every picture the reader accepts, and the
// tests on every picture of the fuzzer's corpus.
#pragma once

#include <optional>
#include <string>

#include "sng/sng.h"

// What goes wrong when `picture` is written and read back: nothing when the
// text ends with its closing line, its length is known before it is
// written, and it reads back into the same picture, allowing for what SNG
// text cannot carry; otherwise the first thing that differs.
std::optional<std::string> round_trip_fault(const sng& picture);
