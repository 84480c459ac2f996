// One netlink dump: a request sent to the kernel and every message of its
// answer handed to a callback, with bounds on everything read.
#pragma once

#include <linux/netlink.h>

#include <cstddef>
#include <functional>

namespace provider {

// A message of a dump's answer: its header and its payload (the bytes after
// the header, within the message's length).
using NetlinkMessageFn = std::function<void(const nlmsghdr& header, const unsigned char* payload, std::size_t size)>;

// Sends `request` (a complete netlink message whose header gets the
// NLM_F_REQUEST | NLM_F_DUMP flags and a sequence number here) on a socket of
// `protocol` (NETLINK_ROUTE, NETLINK_SOCK_DIAG) and calls `message` for each
// message of the answer until NLMSG_DONE.  False when netlink is refused, the
// kernel answers with an error, or the answer breaks off.
bool NetlinkDump(int protocol, void* request, std::size_t size, const NetlinkMessageFn& message);

// Sends a single request (no dump) and hands over the messages of the one
// answer; false when the kernel answers with an error (no such object) or
// nothing.
bool NetlinkQuery(int protocol, void* request, std::size_t size, const NetlinkMessageFn& message);

// Decodes one received buffer: calls `message` for each message whose
// sequence number is `seq` and that is neither NLMSG_DONE nor NLMSG_ERROR.
// Returns 1 when the buffer ends the dump, -1 on an error message or a
// malformed buffer, 0 when more is to come.  Never reads past `length`.
int DecodeNetlinkBuffer(const void* buffer, std::size_t length, unsigned seq, const NetlinkMessageFn& message);

}  // namespace provider
