// The fixture of the protocol tests: a Launcher sandbox whose socket can be connected to
// a scripted server on 127.0.0.1, with Winsock started for the test's lifetime.
#pragma once
#include "common/md5.h"
#include "tests/support/launcher_sandbox.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>
#include <string>

namespace dr_test {

class SandboxConnectionTest : public ::testing::Test {
protected:
    void Connect()
    {
        server.Start();
        ASSERT_TRUE(sandbox.ConnectTo(server.Port()));
    }
    WinsockSession winsock;
    LauncherSandbox sandbox;
    ScriptedServer server;
};

// The 16 raw digest bytes of data, as the Launcher sends them.
inline std::string Md5Of(const std::string &data)
{
    uint8_t digest[16];
    Md5Digest(data.data(), data.size(), digest);
    return std::string((const char *)digest, 16);
}

}  // namespace dr_test
