#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessaro::tileserver {

/// The head of one HTTP/1.x request.
struct HttpRequest {
    std::string method;
    std::string target;            ///< origin form ("/path?query"); an absolute form is cut to it
    int minorVersion = 1;          ///< 0 for HTTP/1.0, 1 for HTTP/1.1
    bool keepAlive = true;         ///< whether the connection stays open after the answer
    std::size_t contentLength = 0; ///< body bytes that follow the head
};

/// What the bytes received so far hold.
enum class HeadStatus {
    Incomplete, ///< no complete head yet; read more
    Complete,   ///< a head was parsed; `consumed` bytes of the buffer belong to it
    Bad,        ///< not a request the server accepts; answer `errorStatus` and close
};

/// The outcome of ParseRequestHead.
struct HeadResult {
    HeadStatus status = HeadStatus::Incomplete;
    HttpRequest request;
    std::size_t consumed = 0;
    int errorStatus = 0; ///< for Bad: 400, 431 (head too large), 501 (a request body in chunks)
                         ///< or 505 (an HTTP version other than 1.0 and 1.1)
};

/// Parses the request head at the start of buffer: the request line, then header lines up to
/// an empty line. Lines may end in CR LF or LF; empty lines before the request line are
/// skipped. Only Connection, Content-Length and Transfer-Encoding are interpreted.
/// A head longer than maxHeadBytes is Bad with 431 as soon as that many bytes have arrived
/// without its end.
/// Complexity: linear in the head's length.
[[nodiscard]] HeadResult ParseRequestHead(std::string_view buffer, std::size_t maxHeadBytes);

} // namespace tessaro::tileserver
