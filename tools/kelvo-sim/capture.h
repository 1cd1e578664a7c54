// --capture FILE: every frame that comes in on a link and every answer that
// goes out, as a pcap file for the Wireshark dissector (tools/wireshark).
#pragma once

#include "kelvo-sim/simulator.h"
#include "wireshark/capture_file.h"

#include <string>

namespace kelvo::sim {

class FrameCapture {
public:
    // Creates the file.
    bool Open(const std::string& path, std::string& error) { return file_.Open(path, error); }
    // Records the frames of one device (its simulator's frame tap) as link
    // `number`; every device of a plant goes to the same file.
    void Attach(Simulator& sim, std::uint16_t number);

private:
    void Record(std::uint16_t number, LinkKind link, const IncomingFrame& in, const Outcome& out);

    capture::CaptureFile file_;
};

} // namespace kelvo::sim
