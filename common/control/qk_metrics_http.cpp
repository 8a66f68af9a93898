// Request heads and answers of the metrics endpoint.
#include "control/qk_metrics_http.h"

#include <algorithm>
#include <cctype>

namespace {

// The line that starts at from, without its CRLF or LF; false while its LF has not come.
bool next_line(const std::string& buffer, std::size_t& from, std::string& line) {
    const std::size_t lf = buffer.find('\n', from);
    if (lf == std::string::npos)
        return false;
    std::size_t end = lf;
    if (end > from && buffer[end - 1] == '\r')
        --end;
    line.assign(buffer, from, end - from);
    from = lf + 1;
    return true;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// True when the comma-separated list holds token, whatever its case.
bool has_token(const std::string& list, const std::string& token) {
    std::size_t from = 0;
    while (from <= list.size()) {
        std::size_t comma = list.find(',', from);
        if (comma == std::string::npos)
            comma = list.size();
        if (lower(trim(list.substr(from, comma - from))) == token)
            return true;
        from = comma + 1;
    }
    return false;
}

// "METHOD TARGET VERSION", single spaces; sets the version's default of keep_alive.
bool parse_request_line(const std::string& line, SQKHttpRequest& request) {
    const std::size_t first = line.find(' ');
    if (first == std::string::npos || first == 0)
        return false;
    const std::size_t second = line.find(' ', first + 1);
    if (second == std::string::npos || second == first + 1 ||
        line.find(' ', second + 1) != std::string::npos)
        return false;
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    const std::string version = line.substr(second + 1);
    if (version == "HTTP/1.1")
        request.keep_alive = true;
    else if (version == "HTTP/1.0")
        request.keep_alive = false;
    else
        return false;
    return true;
}

bool parse_header_line(const std::string& line, SQKHttpRequest& request, bool& close, bool& keep) {
    if (line[0] == ' ' || line[0] == '\t')
        return false;  // a folded line: long obsolete, never sent by a scraper
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    const std::string name = lower(line.substr(0, colon));
    const std::string value = trim(line.substr(colon + 1));
    if (name == "content-length") {
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
            return false;
        if (value.find_first_not_of('0') != std::string::npos)
            request.has_body = true;
    } else if (name == "transfer-encoding") {
        request.has_body = true;
    } else if (name == "connection") {
        close = close || has_token(value, "close");
        keep = keep || has_token(value, "keep-alive");
    }
    return true;
}

const char* reason_of(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 503:
            return "Service Unavailable";
        default:
            return "Unknown";
    }
}

}  // namespace

QKHttpHead qk_http_parse_head(const std::string& buffer, SQKHttpRequest& request,
                              std::size_t& head_size) {
    const QKHttpHead unfinished =
        buffer.size() > kQKHttpMaxHead ? QKHttpHead::bad : QKHttpHead::incomplete;
    std::size_t at = 0;
    std::string line;
    do {
        if (!next_line(buffer, at, line))
            return unfinished;
    } while (line.empty());
    SQKHttpRequest read;
    if (!parse_request_line(line, read))
        return QKHttpHead::bad;
    bool close = false;
    bool keep = false;
    while (true) {
        if (!next_line(buffer, at, line))
            return unfinished;
        if (line.empty())
            break;
        if (!parse_header_line(line, read, close, keep))
            return QKHttpHead::bad;
    }
    if (at > kQKHttpMaxHead)
        return QKHttpHead::bad;
    if (close)
        read.keep_alive = false;
    else if (keep)
        read.keep_alive = true;
    request = read;
    head_size = at;
    return QKHttpHead::complete;
}

std::string qk_http_answer(int status, const std::string& content_type, const std::string& body,
                           bool keep_alive, bool head_only, const std::string& extra_headers) {
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) + "\r\n";
    answer += "Content-Type: " + content_type + "\r\n";
    answer += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    answer += keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    answer += extra_headers;
    answer += "\r\n";
    if (!head_only)
        answer += body;
    return answer;
}
