#include "ZoqShell/System/NetlinkNetwork.h"

#include "ZoqCore/Support/CoreError.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <optional>
#include <poll.h>
#include <span>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace zoq {
namespace {

/// A dump reply datagram holds at most a few pages; this leaves ample room.
constexpr std::size_t receiveBufferSize = 65'536;
/// The kernel answers a dump at once; the timeout only keeps a wedged socket
/// from stalling the observer thread forever.
constexpr int dumpTimeoutSeconds = 5;
/// A dump the kernel marks as interrupted (the tables changed mid-way) is
/// repeated; past this many attempts the state is judged on the next change.
constexpr int dumpAttempts = 5;
/// Delay before judging again after a failed dump.
constexpr int retryMilliseconds = 1'000;

using Payload = std::span<const char>;

[[noreturn]] void fail(const char* operation) {
    throw CoreError::io(operation, errno);
}

[[noreturn]] void malformed() {
    throw CoreError::corrupt("netlink reply");
}

struct DumpInterrupted {};

FileDescriptor openRouteSocket(std::uint32_t groups) {
    FileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket) {
        fail("netlink socket");
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = groups;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail("netlink bind");
    }
    return socket;
}

template <typename Body>
Body bodyOf(Payload payload) {
    if (payload.size() < sizeof(Body)) {
        malformed();
    }
    Body body;
    std::memcpy(&body, payload.data(), sizeof body);
    return body;
}

std::optional<std::uint32_t> u32Of(Payload payload) noexcept {
    if (payload.size() < sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    std::memcpy(&value, payload.data(), sizeof value);
    return value;
}

/// Calls `visit(header, payload)` for each netlink message in `data`. Lengths
/// are checked before anything is read; nothing here trusts the datagram.
template <typename Visit>
void forEachMessage(Payload data, Visit&& visit) {
    while (data.size() >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data.data(), sizeof header);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > data.size()) {
            malformed();
        }
        visit(header, data.subspan(NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN));
        data = data.subspan(std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), data.size()));
    }
}

/// Calls `visit(type, payload)` for each route attribute in `data`.
template <typename Visit>
void forEachAttribute(Payload data, Visit&& visit) {
    while (data.size() >= sizeof(rtattr)) {
        rtattr attribute;
        std::memcpy(&attribute, data.data(), sizeof attribute);
        if (attribute.rta_len < RTA_LENGTH(0) || attribute.rta_len > data.size()) {
            malformed();
        }
        visit(attribute.rta_type, data.subspan(RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
        data = data.subspan(std::min<std::size_t>(RTA_ALIGN(attribute.rta_len), data.size()));
    }
}

template <typename Body>
Payload attributesAfter(Payload payload) {
    if (payload.size() < NLMSG_ALIGN(sizeof(Body))) {
        malformed();
    }
    return payload.subspan(NLMSG_ALIGN(sizeof(Body)));
}

void sendDumpRequest(int socket, std::uint16_t type, std::uint32_t sequence, Payload body) {
    std::vector<char> request(NLMSG_SPACE(body.size()), 0);
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(body.size()));
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = sequence;
    std::memcpy(request.data(), &header, sizeof header);
    std::memcpy(request.data() + NLMSG_HDRLEN, body.data(), body.size());
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent = 0;
    do {
        sent = ::sendto(socket, request.data(), header.nlmsg_len, 0,
                        reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        fail("netlink send");
    }
}

/// Receives the reply to dump `sequence`, calling `visit(header, payload)` for
/// each data message until NLMSG_DONE.
template <typename Visit>
void receiveDump(int socket, std::uint32_t sequence, std::vector<char>& buffer, Visit&& visit) {
    bool interrupted = false;
    for (;;) {
        sockaddr_nl from{};
        iovec vector{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(socket, &message, 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("netlink receive");
        }
        if ((message.msg_flags & MSG_TRUNC) != 0) {
            malformed();
        }
        if (from.nl_pid != 0) {
            continue; // only the kernel answers dumps
        }
        bool done = false;
        forEachMessage(Payload(buffer.data(), static_cast<std::size_t>(received)),
                       [&](const nlmsghdr& header, Payload payload) {
                           if (header.nlmsg_seq != sequence || done) {
                               return;
                           }
                           if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
                               interrupted = true;
                           }
                           if (header.nlmsg_type == NLMSG_DONE) {
                               done = true;
                           } else if (header.nlmsg_type == NLMSG_ERROR) {
                               const nlmsgerr error = bodyOf<nlmsgerr>(payload);
                               if (error.error != 0) {
                                   errno = -error.error;
                                   fail("netlink dump");
                               }
                           } else {
                               visit(header, payload);
                           }
                       });
        if (done) {
            if (interrupted) {
                throw DumpInterrupted{};
            }
            return;
        }
    }
}

void addRoute(const nlmsghdr& header, Payload payload, std::vector<DefaultRoute>& routes) {
    if (header.nlmsg_type != RTM_NEWROUTE) {
        return;
    }
    const rtmsg route = bodyOf<rtmsg>(payload);
    if ((route.rtm_family != AF_INET && route.rtm_family != AF_INET6) || route.rtm_dst_len != 0 ||
        route.rtm_type != RTN_UNICAST || (route.rtm_flags & RTM_F_CLONED) != 0) {
        return;
    }
    std::uint32_t table = route.rtm_table;
    std::uint32_t metric = 0;
    std::optional<std::uint32_t> outputInterface;
    Payload multipath;
    forEachAttribute(attributesAfter<rtmsg>(payload), [&](unsigned short type, Payload value) {
        if (type == RTA_TABLE) {
            table = u32Of(value).value_or(table);
        } else if (type == RTA_PRIORITY) {
            metric = u32Of(value).value_or(metric);
        } else if (type == RTA_OIF) {
            outputInterface = u32Of(value);
        } else if (type == RTA_MULTIPATH) {
            multipath = value;
        }
    });
    // Policy-routing tables (VPN clients, containers) only apply to traffic
    // their rules select; the uploader's traffic takes the main table.
    if (table != RT_TABLE_MAIN) {
        return;
    }
    const bool ipv6 = route.rtm_family == AF_INET6;
    constexpr unsigned deadHop = RTNH_F_DEAD | RTNH_F_LINKDOWN;
    if (outputInterface && (route.rtm_flags & deadHop) == 0) {
        routes.push_back({static_cast<int>(*outputInterface), metric, ipv6});
    }
    while (multipath.size() >= sizeof(rtnexthop)) {
        rtnexthop hop;
        std::memcpy(&hop, multipath.data(), sizeof hop);
        if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > multipath.size()) {
            malformed();
        }
        if ((hop.rtnh_flags & deadHop) == 0) {
            routes.push_back({hop.rtnh_ifindex, metric, ipv6});
        }
        multipath = multipath.subspan(std::min<std::size_t>(RTNH_ALIGN(hop.rtnh_len), multipath.size()));
    }
}

void addInterface(const nlmsghdr& header, Payload payload, std::vector<NetworkInterface>& interfaces) {
    if (header.nlmsg_type != RTM_NEWLINK) {
        return;
    }
    const ifinfomsg link = bodyOf<ifinfomsg>(payload);
    NetworkInterface facts;
    facts.index = link.ifi_index;
    facts.up = (link.ifi_flags & IFF_UP) != 0 && (link.ifi_flags & IFF_RUNNING) != 0;
    forEachAttribute(attributesAfter<ifinfomsg>(payload), [&](unsigned short type, Payload value) {
        if (type == IFLA_IFNAME) {
            facts.name.assign(value.data(), ::strnlen(value.data(), value.size()));
        }
    });
    interfaces.push_back(std::move(facts));
}

NetworkSnapshot dumpOnce(const std::filesystem::path& sysfsRoot) {
    const FileDescriptor socket = openRouteSocket(0);
    const timeval timeout{dumpTimeoutSeconds, 0};
    if (::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        fail("netlink timeout");
    }
    std::vector<char> buffer(receiveBufferSize);
    NetworkSnapshot snapshot;

    ifinfomsg linkRequest{};
    linkRequest.ifi_family = AF_UNSPEC;
    sendDumpRequest(socket.get(), RTM_GETLINK, 1,
                    Payload(reinterpret_cast<const char*>(&linkRequest), sizeof linkRequest));
    receiveDump(socket.get(), 1, buffer, [&](const nlmsghdr& header, Payload payload) {
        addInterface(header, payload, snapshot.interfaces);
    });

    rtmsg routeRequest{};
    routeRequest.rtm_family = AF_UNSPEC; // both IPv4 and IPv6
    sendDumpRequest(socket.get(), RTM_GETROUTE, 2,
                    Payload(reinterpret_cast<const char*>(&routeRequest), sizeof routeRequest));
    receiveDump(socket.get(), 2, buffer, [&](const nlmsghdr& header, Payload payload) {
        addRoute(header, payload, snapshot.defaultRoutes);
    });

    // Only a live interface can decide the answer, so only those are probed.
    for (NetworkInterface& facts : snapshot.interfaces) {
        if (facts.up) {
            facts.kind = probeInterfaceKind(sysfsRoot, facts.name);
        }
    }
    return snapshot;
}

/// Empties the subscribed socket. Every notification only means "judge
/// again", so the content is ignored; an overflow (ENOBUFS) means the same.
void drainNotifications(int socket, std::vector<char>& buffer) noexcept {
    for (;;) {
        const ssize_t received = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received >= 0 || errno == EINTR || errno == ENOBUFS) {
            continue;
        }
        return;
    }
}

} // namespace

NetworkSnapshot NetlinkNetwork::snapshot(const std::filesystem::path& sysfsRoot) {
    for (int attempt = 1;; ++attempt) {
        try {
            return dumpOnce(sysfsRoot);
        } catch (const DumpInterrupted&) {
            if (attempt == dumpAttempts) {
                throw CoreError::io("netlink dump", EAGAIN);
            }
        }
    }
}

NetlinkNetwork::NetlinkNetwork(std::filesystem::path sysfsRoot)
    : sysfsRoot_(std::move(sysfsRoot)),
      monitor_(openRouteSocket(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake_) {
        fail("eventfd");
    }
    current_.store(snapshot(sysfsRoot_).transport());
    thread_ = std::thread([this] { run(); });
}

NetlinkNetwork::~NetlinkNetwork() {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of a counter overflow, and the
    // counter is written only here.
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
}

NetworkTransport NetlinkNetwork::currentTransport() const noexcept {
    return current_.load(std::memory_order_acquire);
}

void NetlinkNetwork::run() noexcept {
    std::vector<char> buffer;
    try {
        buffer.resize(receiveBufferSize);
    } catch (...) {
        return; // out of memory at start: the answer simply stops following changes
    }
    int timeout = -1;
    for (;;) {
        pollfd watched[2] = {{monitor_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            // Not expected for two valid descriptors; wait a little rather
            // than spin, then carry on.
            ::poll(nullptr, 0, retryMilliseconds);
            continue;
        }
        if (ready < 0) {
            continue;
        }
        if (watched[1].revents != 0) {
            return;
        }
        if (watched[0].revents != 0) {
            drainNotifications(monitor_.get(), buffer);
        }
        try {
            current_.store(snapshot(sysfsRoot_).transport(), std::memory_order_release);
            timeout = -1;
        } catch (...) {
            timeout = retryMilliseconds;
        }
    }
}

} // namespace zoq
