// SNG text for the tests: pictures in the layout the service writes, built
// from a few words by the client's picture maker (client/sng_text.h).
#pragma once

#include "client/sng_text.h"

using client::palette_entries;
using client::picture_spec;
using client::rgb_picture;
using client::sng_text;
