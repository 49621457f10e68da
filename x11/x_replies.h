// What the window scan reads out of an X server's replies and its connection setup, taken from their bytes: every
// count the server states (a property's length, a list's length, an id's length) is held to what the bytes really
// hold, so that a server that lies about its lengths never gets anything read past them.
#ifndef CS_X11_X_REPLIES_H
#define CS_X11_X_REPLIES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cs {

// The bytes of one reply or of the setup.
using XBytes = std::span<const std::uint8_t>;

// Returns the bytes of a reply as XCB hands it over: its 32-byte header and 4 bytes per unit of its length field,
// which is what XCB read and allocated. Empty for null.
XBytes replyBytes(const void* reply);
// Returns the bytes of a connection setup as XCB keeps it: its 8-byte header and 4 bytes per unit of its length.
XBytes setupBytes(const void* setup);

// The parsers below take the bytes in the client's byte order (XCB asks the server for it). A reply counts only as
// far as both its bytes and its own length field reach; a count beyond that is cut to the items that fit.

// Returns _NET_WM_PID from a GetProperty reply: the first item of a CARDINAL of format 32, 0 included; no value for
// any other property, none or an empty one.
std::optional<std::int32_t> pidFromProperty(XBytes reply);
// Returns _NET_WM_NAME from a GetProperty reply: its bytes when its items are 8-bit, else empty.
std::string netWmNameFromProperty(XBytes reply);
// Returns WM_NAME from a GetProperty reply as Xlib's XFetchName takes it: a STRING of 8-bit items, up to its first
// NUL byte; empty for anything else.
std::string wmNameFromProperty(XBytes reply);
// Returns the windows of a GetProperty reply of type WINDOW and format 32 (_NET_CLIENT_LIST); empty otherwise.
std::vector<std::uint32_t> windowsFromProperty(XBytes reply);
// Returns the children of a QueryTree reply, bottom to top.
std::vector<std::uint32_t> childrenFromQueryTree(XBytes reply);
// Returns the pid of a window's client from an X-Resource QueryClientIds reply to a question for pids alone: the
// first id whose value holds a number from 1 to 2^31-1. The server knows it by the client's socket, counted in the
// server's pid namespace. No value when none does (a client of another machine, or a server that does not say).
std::optional<std::int32_t> clientPidFromClientIds(XBytes reply);
// Returns the root window of the screen numbered in a successful connection setup; no value when the setup lists
// no such screen.
std::optional<std::uint32_t> rootOfScreen(XBytes setup, int screen);

}  // namespace cs

#endif  // CS_X11_X_REPLIES_H
