// The update dialog around the worker: the end message, and the close question that
// pauses the worker without freezing the dialog.
#include "launcher/core/platform.h"
#include "launcher/shell/update_dialog.h"
#include "launcher/shell/worker.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

// What the fake stages did, in order, and what they are to answer.
struct StageScript {
    std::vector<std::string> calls;
    bool connectSucceeds = true;
    bool reconnectSucceeds = true;
    bool reportSucceeds = true;
    std::vector<unsigned> updateResults;
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

unsigned FakeUpdate(WorkerContext *context)
{
    g_script.calls.push_back(context->socket == INVALID_SOCKET ? "update without socket" : "update");
    return Answer(g_script.updateResults, g_script.updateCalls++);
}

typedef std::vector<std::string> Calls;

}  // namespace

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
    // Seen by the death test, which has only the child's output to go by.
    if (g_question.text == "更新尚未完成，确定现在退出吗？\t" && g_question.answer == IDOK)
        fprintf(stderr, "close question confirmed\n");
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
        ::testing::ExitedWithCode(1), "close question confirmed");
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
