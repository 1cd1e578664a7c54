// The component as hosts meet it: registered by the tool, loaded by a host
// process through the registry, talking to the simulator. The installed tree
// and the packages are tested by tests/packaging/packages_test.sh.
#include "automation/registry.h"
#include "component/registration.h"
#include "kelvo/kelvo.h"
#include "kelvo/portway.h"
#include "support/run_program.h"
#include "support/sim_process.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo::test {
namespace {

using registry::Hive;
using registry::HiveData;

const std::string kBin = KELVO_BIN_DIR;
const std::string kLib = KELVO_LIB_DIR;

class Hosting : public ::testing::Test {
protected:
    HiveData Read(const std::string& root, Hive hive) {
        HiveData data;
        EXPECT_TRUE(registry::Load(root, hive, data));
        return data;
    }
    TempFolder folder_{"hosting"};
    const std::string dir_ = folder_.path();
};

TEST_F(Hosting, AHostCreatesTheRegisteredClassByNameAndUnregisteringRemovesIt) {
    const std::string root = dir_ + "/registry";
    auto tool = [&](const char* verb) {
        return RunProgram({kBin + "/kelvo", verb, "--registry", root, "--library",
                           kLib + "/libkelvo.so", "--library", kLib + "/libportway.so"});
    };
    ProgramOutcome registered = tool("register");
    ASSERT_EQ(registered.status, 0) << Describe(registered);
    const std::string classKey = "CLSID\\" + GuidToString(CLSID_Kelvo);
    const HiveData registeredClasses = Read(root, Hive::ClassesRoot);
    const std::string* path = registeredClasses.Value(classKey + "\\InprocServer32", "");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(*path, std::filesystem::canonical(kLib + "/libkelvo.so").string());

    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.111.21", "--no-tls"}));
    const std::string connection = "TCPIP:127.0.111.21/17221,3000";
    ProgramOutcome host = RunProgram({kBin + "/kelvo-example-host", connection, "0x1004", "0", "3"},
                                     {"KELVO_REGISTRY=" + root});
    EXPECT_EQ(host.status, 0) << Describe(host);
    EXPECT_EQ(host.out, "-123456\ncan unload: yes\n");
    EXPECT_EQ(host.err, ""); // the message file was found beside the library

    ProgramOutcome unregistered = tool("unregister");
    ASSERT_EQ(unregistered.status, 0) << Describe(unregistered);
    const HiveData classes = Read(root, Hive::ClassesRoot);
    for (const std::string& key :
         {classKey, std::string("Kelvo.Kelvo"), "CLSID\\" + GuidToString(CLSID_Portway)})
        EXPECT_FALSE(classes.HasKey(key)) << key;
    EXPECT_EQ(Read(root, Hive::LocalMachine).Value(kProtocolKey, "ProtIntf18"), nullptr);

    host = RunProgram({kBin + "/kelvo-example-host", connection}, {"KELVO_REGISTRY=" + root});
    EXPECT_EQ(host.status, 1);
    EXPECT_NE(host.err.find("CLSIDFromProgID"), std::string::npos) << host.err;
}

} // namespace
} // namespace kelvo::test
