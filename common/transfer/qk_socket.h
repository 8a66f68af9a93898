// Readiness waits on sockets with one poll(2) call each, and the binding of every
// listening socket. Poco's own Socket::poll builds and tears down an epoll instance per
// call (four system calls), which shows in the per-file cost of small transfers.
#pragma once

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/Socket.h>
#include <Poco/Timespan.h>

#include <string>

// Waits until the socket is ready for mode (Poco::Net::Socket::SELECT_READ, SELECT_WRITE,
// SELECT_ERROR, or-ed) or has failed or hung up, for at most timeout. True when ready (a
// hang-up counts, so that the next read sees the end of the stream).
bool qk_poll_socket(const Poco::Net::Socket& socket, const Poco::Timespan& timeout, int mode);

// Binds port on all IPv4 interfaces, listens with a backlog of 64 and sets TCP no-delay.
// SO_REUSEADDR lets a restarted listener bind while connections of its predecessor linger
// in TIME_WAIT; without SO_REUSEPORT a second listener on a port in use is still refused.
void qk_bind_listener(Poco::Net::ServerSocket& socket, int port);
// The same on one address, a literal IPv4 or IPv6 address (qk_parse_ip_literal, brackets
// allowed; anything else throws Poco::InvalidArgumentException). "0.0.0.0" is every IPv4
// address; "::" every address of both families (IPV6_V6ONLY off: IPv4 peers come as
// IPv4-mapped addresses), or, on a system without IPv6 sockets, every IPv4 address, said in
// one INFO line. A specific address that cannot be bound throws as a port in use does.
void qk_bind_listener(Poco::Net::ServerSocket& socket, const std::string& address, int port);
// "a.b.c.d:port" or "[v6]:port", for log lines; address as qk_bind_listener takes it (a text
// that is no literal is put in as it is).
std::string qk_endpoint_text(const std::string& address, int port);
