// The worker's order and retry rules, with stages of the test in the worker's table:
// which stage runs when, which attempt index each reconnection gets, and which result
// code the run ends with.
#include "launcher/core/result_codes.h"
#include "tests/support/launcher_sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace dr_test;

namespace {

struct Script {
    bool firstConnect = true;
    bool report = true;
    std::vector<unsigned> environment;  // results of successive calls (0 once exhausted)
    std::vector<unsigned> update;
    bool manifestRefused = false;       // the failed first connection met a refused release
};

Script g_script;
std::vector<std::string> g_calls;
size_t g_environmentCalls, g_updateCalls;

int FakeConnect(int attemptIndex, WorkerContext *context, SOCKET *slot)
{
    g_calls.push_back("connect " + std::to_string(attemptIndex));
    if (g_calls.size() == 1 && !g_script.firstConnect) {
        *slot = INVALID_SOCKET;
        context->releaseRefused = g_script.manifestRefused;
        return 0;
    }
    *slot = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);  // real, so closing it is real
    return 1;
}

bool FakeReport(WorkerContext *context, SOCKET socket)
{
    g_calls.push_back(socket == context->socket && socket != INVALID_SOCKET ? "report"
                                                                             : "report without socket");
    return g_script.report;
}

unsigned FakeEnvironment(WorkerContext *context)
{
    g_calls.push_back(context->socket != INVALID_SOCKET ? "environment" : "environment without socket");
    return g_environmentCalls < g_script.environment.size() ? g_script.environment[g_environmentCalls++] : 0;
}

unsigned FakeUpdate(WorkerContext *context)
{
    g_calls.push_back(context->socket != INVALID_SOCKET ? "update" : "update without socket");
    return g_updateCalls < g_script.update.size() ? g_script.update[g_updateCalls++] : 0;
}

struct Case {
    const char *name;
    Script script;
    std::vector<std::string> calls;
    unsigned resultCode;
    std::vector<WPARAM> stageFailures;
    std::vector<std::string> logLines;
};

TEST(WorkerStages, OrderRetriesAndResultCode)
{
    const Case cases[] = {
        {"everything succeeds", {true, true, {0}, {0}},
         {"connect 0", "report", "environment", "update"}, 0, {}, {}},
        {"no server at all", {false, true, {}, {}},
         {"connect 0"}, kResultConnectServer, {}, {"Connect to fail."}},
        {"servers whose signed release a Launcher with a key refused", {false, true, {}, {}, true},
         {"connect 0"}, kResultCheckUpdateConfig, {}, {"Connect to fail."}},
        {"a failed report does not stop the stages", {true, false, {0}, {0}},
         {"connect 0", "report", "environment", "update"}, 0, {}, {"Fail on SendLauncherExe."}},
        {"environment fails three times, update still runs and reconnects with 0",
         {true, true, {3, 3, 3}, {0}},
         {"connect 0", "report", "environment", "connect 1", "environment", "connect 2", "environment",
          "connect 0", "update"},
         3, {3}, {"Fail on config environment."}},
        {"environment succeeds on its second attempt", {true, true, {4, 0}, {0}},
         {"connect 0", "report", "environment", "connect 1", "environment", "update"}, 0, {}, {}},
        {"update fails three times", {true, true, {0}, {9, 9, 9}},
         {"connect 0", "report", "environment", "update", "connect 1", "update", "connect 2", "update"},
         9, {9}, {"Fail on update file."}},
        {"the last failure's code wins", {true, true, {5, 5, 5}, {9, 8, 8}},
         {"connect 0", "report", "environment", "connect 1", "environment", "connect 2", "environment",
          "connect 0", "update", "connect 1", "update", "connect 2", "update"},
         8, {5, 8}, {"Fail on config environment.", "Fail on update file."}},
        {"a later success does not clear an earlier failure", {true, true, {3, 3, 3}, {9, 0}},
         {"connect 0", "report", "environment", "connect 1", "environment", "connect 2", "environment",
          "connect 0", "update", "connect 1", "update"},
         3, {3}, {"Fail on config environment."}},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LauncherSandbox sandbox("-" + std::to_string(++index));
        g_script = c.script;
        g_calls.clear();
        g_environmentCalls = g_updateCalls = 0;
        g_workerStages.connect = FakeConnect;
        g_workerStages.report = FakeReport;
        g_workerStages.environment = FakeEnvironment;
        g_workerStages.update = FakeUpdate;

        RunWorkerStages(&sandbox.context);

        EXPECT_EQ(c.calls, g_calls);
        EXPECT_EQ(c.resultCode, sandbox.context.resultCode);
        EXPECT_EQ(INVALID_SOCKET, sandbox.context.socket);
        EXPECT_EQ(c.logLines, sandbox.LogLines());
        std::vector<WPARAM> failures;
        std::vector<int> progress;
        bool done = false;
        for (const auto &message : sandbox.TakeMessages()) {
            EXPECT_FALSE(done) << "nothing after WM_UPDATE_DONE";
            if (message.first == WM_UPDATE_STAGE_FAILED)
                failures.push_back(message.second);
            else if (message.first == WM_UPDATE_PROGRESS)
                progress.push_back((int)message.second);
            else if (message.first == WM_UPDATE_DONE)
                done = message.second == 1;
        }
        EXPECT_TRUE(done);
        EXPECT_EQ(c.stageFailures, failures);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(100, progress.back());
        if (c.script.firstConnect)
            EXPECT_EQ(5, progress.front());
        else
            EXPECT_EQ(1u, progress.size());
    }
}

}  // namespace
