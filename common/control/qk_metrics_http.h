// The little HTTP/1.x the metrics endpoint speaks: a request head read from the bytes a
// connection has received so far, and the answer written in one piece.
//
// A head is at most kQKHttpMaxHead bytes: request line, header lines, the empty line (lines
// may end in CRLF or LF; empty lines before the request line are skipped). Only what the
// endpoint decides on is kept: method, target, version, whether a body follows and whether
// the connection stays open. Anything else malformed (no three parts in the request line, a
// version other than HTTP/1.0 or 1.1, a header line without a colon or folded, a
// Content-Length that is not a decimal number) is a bad request.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kQKHttpMaxHead = 8192;

struct SQKHttpRequest {
    std::string method;
    std::string target;       // as sent, the query included
    bool has_body = false;    // a Content-Length above 0 or any Transfer-Encoding
    bool keep_alive = false;  // HTTP/1.1 unless "Connection: close"; 1.0 only with keep-alive
};

enum class QKHttpHead {
    incomplete,  // no empty line yet, within the size limit
    complete,
    bad,  // malformed, or no end within kQKHttpMaxHead bytes
};

// Reads the head at the start of buffer. On complete, request holds it and head_size the
// bytes it took (what follows belongs to the next request, or is a body).
QKHttpHead qk_http_parse_head(const std::string& buffer, SQKHttpRequest& request,
                              std::size_t& head_size);

// A whole answer: status line, Content-Type, Content-Length, Connection, the extra header
// lines (each ending in CRLF) and, unless head_only (an answer to HEAD), the body.
std::string qk_http_answer(int status, const std::string& content_type, const std::string& body,
                           bool keep_alive, bool head_only, const std::string& extra_headers = "");
