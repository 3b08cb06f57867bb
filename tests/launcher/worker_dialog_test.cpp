// The worker's stage order and retry rules, and the update dialog around it: progress,
// the end message, and the close question that pauses the worker without freezing.
#include "launcher/shell/platform.h"
#include "launcher/shell/update_dialog.h"
#include "launcher/shell/worker.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// What the fake stages did, in order, and what they are to answer.
struct StageScript {
    std::vector<std::string> calls;
    bool connectSucceeds = true;
    bool reconnectSucceeds = true;
    bool reportSucceeds = true;
    std::vector<unsigned> environmentResults;  // per attempt; missing: 0
    std::vector<unsigned> updateResults;
    int environmentCalls = 0;
    int updateCalls = 0;
};

StageScript g_script;

int FakeConnect(int attemptIndex, WorkerContext *, SOCKET *slot)
{
    g_script.calls.push_back("connect " + std::to_string(attemptIndex));
    bool first = g_script.calls.size() == 1;
    if (!(first ? g_script.connectSucceeds : g_script.reconnectSucceeds))
        return 0;
    *slot = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return 1;
}

bool FakeReport(WorkerContext *, SOCKET socket)
{
    g_script.calls.push_back(socket == INVALID_SOCKET ? "report without socket" : "report");
    return g_script.reportSucceeds;
}

unsigned Answer(const std::vector<unsigned> &results, int call)
{
    return call < (int)results.size() ? results[call] : 0;
}

unsigned FakeEnvironment(WorkerContext *context)
{
    g_script.calls.push_back(context->socket == INVALID_SOCKET ? "environment without socket"
                                                               : "environment");
    return Answer(g_script.environmentResults, g_script.environmentCalls++);
}

unsigned FakeUpdate(WorkerContext *context)
{
    g_script.calls.push_back(context->socket == INVALID_SOCKET ? "update without socket" : "update");
    return Answer(g_script.updateResults, g_script.updateCalls++);
}

// A hidden window collecting what the worker posts.
struct Posted {
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    ~Posted() { DestroyWindow(window); }
    std::vector<std::pair<UINT, WPARAM>> Take()
    {
        std::vector<std::pair<UINT, WPARAM>> all;
        MSG msg;
        while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
            if (msg.message >= WM_UPDATE_PROGRESS && msg.message <= WM_UPDATE_DONE)
                all.push_back({msg.message, msg.wParam});
        return all;
    }
};

class WorkerStagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_script = StageScript();
        g_workerStages = {FakeConnect, FakeReport, FakeEnvironment, FakeUpdate};
        InitWorkerContext(&context);
        context.window = posted.window;
    }
    void TearDown() override
    {
        ResetWorkerStages();
        FreeWorkerContext(&context);
    }
    Posted posted;
    WorkerContext context;
};

typedef std::vector<std::string> Calls;
typedef std::vector<std::pair<UINT, WPARAM>> Messages;

}  // namespace

TEST_F(WorkerStagesTest, NoConnectionRunsNoStageAndEndsWithTwelve)
{
    g_script.connectSucceeds = false;
    RunWorkerStages(&context);
    EXPECT_EQ(Calls({"connect 0"}), g_script.calls);
    EXPECT_EQ(12u, context.resultCode);
    EXPECT_EQ(Messages({{WM_UPDATE_PROGRESS, 100}, {WM_UPDATE_DONE, 1}}), posted.Take());
}

TEST_F(WorkerStagesTest, CleanRunGoesThroughEveryStageOnce)
{
    RunWorkerStages(&context);
    EXPECT_EQ(Calls({"connect 0", "report", "environment", "update"}), g_script.calls);
    EXPECT_EQ(0u, context.resultCode);
    EXPECT_EQ(INVALID_SOCKET, context.socket);
    EXPECT_EQ(Messages({{WM_UPDATE_PROGRESS, 5}, {WM_UPDATE_PROGRESS, 100}, {WM_UPDATE_DONE, 1}}),
              posted.Take());
}

TEST_F(WorkerStagesTest, FailedReportDoesNotStopTheStages)
{
    g_script.reportSucceeds = false;
    RunWorkerStages(&context);
    EXPECT_EQ(Calls({"connect 0", "report", "environment", "update"}), g_script.calls);
    EXPECT_EQ(0u, context.resultCode);
}

TEST_F(WorkerStagesTest, EnvironmentFailingThriceStillRunsTheUpdateAfterReconnecting)
{
    g_script.environmentResults = {4, 4, 4};
    RunWorkerStages(&context);
    EXPECT_EQ(Calls({"connect 0", "report", "environment", "connect 1", "environment", "connect 2",
                     "environment", "connect 0", "update"}),
              g_script.calls);
    EXPECT_EQ(4u, context.resultCode);
    EXPECT_EQ(Messages({{WM_UPDATE_PROGRESS, 5}, {WM_UPDATE_STAGE_FAILED, 4},
                        {WM_UPDATE_PROGRESS, 100}, {WM_UPDATE_DONE, 1}}),
              posted.Take());
}

TEST_F(WorkerStagesTest, SuccessOnALaterAttemptKeepsNoFailure)
{
    g_script.environmentResults = {3, 0};
    g_script.updateResults = {9, 9, 0};
    RunWorkerStages(&context);
    EXPECT_EQ(Calls({"connect 0", "report", "environment", "connect 1", "environment", "update",
                     "connect 1", "update", "connect 2", "update"}),
              g_script.calls);
    EXPECT_EQ(0u, context.resultCode);
}

TEST_F(WorkerStagesTest, LastFailureWinsAndAFailedReconnectStillRunsTheStage)
{
    g_script.reconnectSucceeds = false;
    g_script.environmentResults = {3, 3, 3};
    g_script.updateResults = {8, 8, 8};
    RunWorkerStages(&context);
    EXPECT_EQ(Calls({"connect 0", "report", "environment", "connect 1",
                     "environment without socket", "connect 2", "environment without socket",
                     "connect 0", "update without socket", "connect 1", "update without socket",
                     "connect 2", "update without socket"}),
              g_script.calls);
    EXPECT_EQ(8u, context.resultCode);
    Messages messages = posted.Take();
    EXPECT_EQ(Messages({{WM_UPDATE_PROGRESS, 5}, {WM_UPDATE_STAGE_FAILED, 3},
                        {WM_UPDATE_STAGE_FAILED, 8}, {WM_UPDATE_PROGRESS, 100},
                        {WM_UPDATE_DONE, 1}}),
              messages);
}

// --- The dialog, in this process, with its template linked into the test program. ---

namespace {

struct CloseQuestion {
    HANDLE questionOpen = CreateEventA(NULL, TRUE, FALSE, NULL);
    int answer = IDCANCEL;
    int asked = 0;
    std::string text, caption;
    UINT style = 0;
    std::string statusWhileOpen;
    WorkerContext *context = NULL;
};

CloseQuestion g_question;

int WINAPI FakeMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT style)
{
    ++g_question.asked;
    g_question.text = text;
    g_question.caption = caption;
    g_question.style = style;
    SetEvent(g_question.questionOpen);
    // The worker has been told to go on; while the question is open it must not get to.
    Sleep(400);
    char shown[kStatusTextSize] = "";
    ReadStatusText(g_question.context, shown);
    g_question.statusWhileOpen = shown;
    return g_question.answer;
}

// The environment stage presses the close box itself, then tries to move on.
unsigned EnvironmentThatAsksToClose(WorkerContext *context)
{
    SetStatusText(context, "before the question");
    PostMessageA(context->window, WM_COMMAND, IDCANCEL, 0);
    WaitForSingleObject(g_question.questionOpen, 5000);
    SetStatusText(context, "after the question");
    return 0;
}

void RunDialogWithCloseQuestion(int answer, WorkerContext *context)
{
    g_script = StageScript();
    g_workerStages = {FakeConnect, FakeReport, EnvironmentThatAsksToClose, FakeUpdate};
    g_platform.MessageBoxA = FakeMessageBox;
    g_question.answer = answer;
    g_question.context = context;
    InitWorkerContext(context);
}

}  // namespace

TEST(UpdateDialog, CancelledCloseQuestionPausesTheWorkerThenLetsItFinish)
{
    WorkerContext context;
    RunDialogWithCloseQuestion(IDCANCEL, &context);
    INT_PTR ended = RunUpdateDialog(GetModuleHandleA(NULL), &context);
    ResetWorkerStages();
    ResetPlatform();

    EXPECT_EQ(1, ended);
    EXPECT_EQ(1, g_question.asked);
    EXPECT_EQ("更新尚未完成，确定现在退出吗？\t", g_question.text);
    EXPECT_EQ("DoreraRarede", g_question.caption);
    EXPECT_EQ((UINT)(MB_OKCANCEL | MB_ICONEXCLAMATION), g_question.style);
    EXPECT_EQ("before the question", g_question.statusWhileOpen);
    char shown[kStatusTextSize];
    ASSERT_TRUE(ReadStatusText(&context, shown));
    EXPECT_STREQ("after the question", shown);
    EXPECT_EQ(Calls({"connect 0", "report", "update"}), g_script.calls);
    EXPECT_EQ(0u, context.resultCode);
}

TEST(UpdateDialogDeathTest, ConfirmedCloseEndsTheProcessWithOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            WorkerContext context;
            RunDialogWithCloseQuestion(IDOK, &context);
            RunUpdateDialog(GetModuleHandleA(NULL), &context);
            ExitProcess(7);  // not reached when the close is confirmed
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(UpdateDialog, ConfirmCloseAnswersByMessageNumber)
{
    INT_PTR result = 0;
    EXPECT_EQ(1, ConfirmClose(WM_UPDATE_STAGE_FAILED, NULL, &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, ConfirmClose(WM_UPDATE_PROGRESS, NULL, &result));
    EXPECT_EQ(0, ConfirmClose(WM_USER, NULL, &result));
    EXPECT_EQ(0, result);
}
