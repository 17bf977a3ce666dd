// Lines of another protocol. Any web page can make a browser send an HTTP
// request to the service's port, with command lines in its body; no quarn
// client ever sends the lines below, so the service closes a connection
// whose command line is one of them, before it looks at any line after it.
#pragma once

#include <string_view>

// Whether `line` (a command line without its line feed) is
//  - an HTTP request line: a method, a target and a version, each after a
//    single blank, and maybe a CR, such as "GET / HTTP/1.1". The method is
//    an HTTP token that begins with an upper-case letter and holds no
//    lower-case one (as every method a browser sends without asking first:
//    the service's commands are all lower case); the target is one or more
//    bytes, none of them a control byte; the version is "HTTP/" and a digit,
//    or a digit, "." and a digit;
//  - or a header line that names the host, beginning with "Host:" in any
//    letter case.
bool is_foreign_protocol_line(std::string_view line);
