// An owner helper for the program's side of the protocol: it says hello as
// one that may read every process and answers as its first argument says,
//   cut-short  every Owners request with no owner and "search cut short",
//              every Paths request with no path;
//   once       the first Owners request with no owner, then it ends;
//   unreadable every Owners request with no owner and "socket table
//              unreadable";
// and ends when its input closes or a frame breaks the protocol.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "OwnerProtocol.h"

namespace {

bool ReadExactly(std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(0, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace owners;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "cut-short" && mode != "once" && mode != "unreadable") return 2;
    if (!WriteAll(EncodeHello(Hello{kVersion, static_cast<std::uint16_t>(kMayReadEveryProcess | kAnswersPaths)})))
        return 1;
    std::vector<std::uint8_t> payload;
    for (;;) {
        std::uint8_t bytes[kHeaderSize];
        if (!ReadExactly(bytes, sizeof bytes)) return 0;
        const std::optional<Header> header = DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(bytes));
        if (!header) return 2;
        payload.resize(header->length);
        if (!ReadExactly(payload.data(), payload.size())) return 2;
        if (header->type == MessageType::PathsRequest) {
            if (!WriteAll(EncodePathsReply(PathsReply{}))) return 1;
            continue;
        }
        const std::optional<OwnersRequest> request = DecodeOwnersRequest(header->table, payload);
        if (header->type != MessageType::OwnersRequest || !request) return 2;
        OwnersReply reply;
        reply.pids.assign(request->inodes.size(), 0);
        if (mode == "cut-short") reply.shortfall = Shortfall::SearchCutShort;
        if (mode == "unreadable") reply.shortfall = Shortfall::TableUnreadable;
        if (!WriteAll(EncodeOwnersReply(reply))) return 1;
        if (mode == "once") return 0;
    }
}
