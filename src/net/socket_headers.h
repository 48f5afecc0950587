#pragma once
// The system's socket declarations: Winsock 2 on Windows, the BSD headers
// elsewhere. Only for sockaddr_in, in_addr, inet_pton/ntop and byte order;
// sockets themselves are libuv's on Windows.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif
