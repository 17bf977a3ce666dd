// Comments in SNG files as the standard `sng` converter writes them: every
// file starts with a "#SNG: ..." line, palette entries carry "# rgb = ..."
// and a pHYs chunk "# (72 dpi)". The service's reader knows no comments, so
// the tools drop them before sending.
#pragma once

#include <string>
#include <string_view>

namespace client {

// `text` without its comments. A comment starts at a "#" that begins a word
// (at the start of a line, or after a blank, tab, ":", ";", brace,
// parenthesis or comma) outside double quotes, and runs to the end of its
// line; it goes with the blanks and tabs before it, its line feed stays.
// Values that quarn's own SNG layout writes unquoted are kept whole: the
// rest of the line after the word "text", and the word after "keyword".
std::string without_comments(std::string_view text);

}  // namespace client
