// What the integration tests share: a folder of the test's own (its comN
// links and state files), and kelvo-sim started on one link with the object
// connected to it.
#pragma once

#include "device/kelvo_object.h"
#include "support/scoped_env.h"
#include "support/sim_device.h"
#include "support/sim_process.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace kelvo::test {

enum class Link { Tcp, Tls, Serial };

inline std::string LinkName(const ::testing::TestParamInfo<Link>& info) {
    return info.param == Link::Tcp ? "Tcp" : info.param == Link::Tls ? "Tls" : "Serial";
}

// Each test has a folder of its own, removed at its end; the comN links of
// the simulators it starts go to its "devices" folder.
class SimTest : public ::testing::Test {
protected:
    SimTest() : devices_("KELVO_DEVICES", folder_ / "devices") {}

    // Writes a file into the test's folder; its path.
    std::string File(const std::string& name, const std::string& text) const {
        std::ofstream(folder_ / name) << text;
        return folder_ / name;
    }

    // The transport text of kelvo-sim on `addr` for `link` (the serial line as comN `com`).
    static std::u16string TextOf(Link link, const std::string& addr, int com = 1) {
        if (link == Link::Serial)
            return u"COM:" + Utf8ToUtf16(std::to_string(com)) + u",921600,N,8,1";
        return u"TCPIP:" + Utf8ToUtf16(addr) +
               (link == Link::Tls ? u"/17222,3000,SSL" : u"/17221,3000");
    }

    // Starts `sim` on `addr` for `link` (on the serial line as comN `com`
    // with `address`), with `extra` options, and opens an object on it.
    static std::unique_ptr<SimDevice> Start(SimProcess& sim, Link link, const std::string& addr,
                                            std::vector<std::string> extra = {}, int com = 1,
                                            std::uint8_t address = 5) {
        std::vector<std::string> args{"--addr", addr};
        if (link == Link::Tcp)
            args.push_back("--no-tls");
        if (link != Link::Tcp)
            args.push_back("--no-tcp");
        if (link == Link::Serial)
            args.insert(args.end(), {"--no-tls", "--serial", "--serial-address",
                                     std::to_string(address), "--link-com", std::to_string(com)});
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_TRUE(sim.Start(args));
        const std::u16string text = TextOf(link, addr, com);
        auto d = std::make_unique<SimDevice>(text, link == Link::Serial, address);
        EXPECT_EQ(d->opened, 1) << Utf16ToUtf8(text) << ": " << d->error;
        return d;
    }

    TempFolder folder_{"sim"};
    const std::string& dir_ = folder_.path();

private:
    ScopedEnv devices_;
};

} // namespace kelvo::test
