#include "kelvo-sim/capture.h"

#include "protocol/bytes.h"

namespace kelvo::sim {

namespace {

capture::LinkType LinkTypeOf(LinkKind link) {
    switch (link) {
    case LinkKind::Tcp:
        return capture::LinkType::Tcp;
    case LinkKind::Tls:
        return capture::LinkType::Tls;
    case LinkKind::Serial:
        return capture::LinkType::Serial;
    }
    return capture::LinkType::Tcp;
}

} // namespace

void FrameCapture::Attach(Simulator& sim, std::uint16_t number) {
    sim.SetTap([this, number](LinkKind link, const IncomingFrame& in, const Outcome& out) {
        Record(number, link, in, out);
    });
}

void FrameCapture::Record(std::uint16_t number, LinkKind link, const IncomingFrame& in,
                          const Outcome& out) {
    const auto now = std::chrono::system_clock::now();
    const capture::LinkType type = LinkTypeOf(link);
    // The request as it was on the wire: serial with its address byte and CRC.
    Bytes request;
    if (link == LinkKind::Serial)
        request.push_back(in.address);
    request.insert(request.end(), in.frame.begin(), in.frame.end());
    if (link == LinkKind::Serial) {
        request.resize(request.size() + 2);
        stle_u16(request.data() + request.size() - 2, in.crc);
    }
    file_.Write(capture::Direction::Request, type, number, request, now);
    // A delayed answer is stamped with the time it goes out.
    if (!out.bytes.empty())
        file_.Write(capture::Direction::Answer, type, number, out.bytes,
                    now + std::chrono::milliseconds(out.delayMs));
}

} // namespace kelvo::sim
