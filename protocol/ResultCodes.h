#pragma once

// Result codes of every driver and protocol operation: 0 or a positive byte
// count is success, a negative value is one of these. Where one value has a
// second meaning it has a second name, so that each place says which it means;
// the values never change (users see them, captures and reports hold them).
enum ResultCode : int {
    RES_OK = 0,
    RES_BAD_LENGTH = -1,                  // data length out of range
    RES_DIAL_FAILED = RES_BAD_LENGTH,     // dial line not open or dial write failed
    RES_RECV_ERROR = -2,                  // read failed, port closed, serial end byte not 0xC3
    RES_REPLY_TOO_LARGE = RES_RECV_ERROR, // reply too large for the buffer, or no room for a header
    RES_SEND_FAILED = -3,                 // send failed
    RES_INTER_TIMEOUT = -4,               // header or body incomplete within I
    RES_UDP_RECV_FAILED = RES_INTER_TIMEOUT, // UDP receive failed or nothing came in time
    RES_WRONG_MACHINE = -5,                  // reply's machine number differs from the request's
    RES_NO_START = -6,                       // no start byte within F
    RES_NO_CARRIER = RES_NO_START,           // no carrier within the dial time-out
    RES_OPEN_FAILED = -7,                    // serial port cannot be opened or closed
    RES_CONNECT_TIMEOUT = RES_OPEN_FAILED,   // TCP not connected in time, or cancelled
    RES_TCP_CLOSE_FAILED = -8,
    RES_CHECKSUM = -9,                   // checksum mismatch
    RES_NOT_FRAME = -10,                 // not one whole reply frame; TCP end byte not 0xC3
    RES_FILE_UNREADABLE = RES_NOT_FRAME, // program file cannot be opened, measured or read
    RES_NET_STARTUP = -11,
    RES_NET_CLEANUP = -12,                  // socket library release failed
    RES_UDP_CLOSE_FAILED = RES_NET_CLEANUP, // UDP socket close failed
    RES_BAD_ADDRESS = -13,                  // not a dotted IPv4 address
    RES_SOCKET_FAILED = -14,                // socket creation failed
    RES_PEER_CLOSED = -15,                  // the TCP peer closed the connection
    RES_CONN_LOST = -16,      // TCP connection lost (down, reset, aborted, timed out, shut down)
    RES_IMAGE_TOO_LARGE = -17 // program image larger than the download buffer
};

// UdpOpen gives -1, -2 and -3 meanings of its own.
enum UdpOpenCode : int {
    UDP_NO_ETHERNET = -1, // no Ethernet adapter with an address
    UDP_NO_PORT = -2,     // no local port of the range could be bound
    UDP_NO_ADAPTER = -3   // no network adapter at all
};
