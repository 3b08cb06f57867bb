// The record shared by the update dialog (main thread) and the worker thread, and the
// private messages that carry progress and the end of the run to the dialog.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "common/release_manifest.h"

enum {
    WM_UPDATE_PROGRESS = 2024,      // wParam: new bar position 0..100
    WM_UPDATE_STAGE_FAILED = 2025,  // wParam: result code of a stage that failed three times
    WM_UPDATE_ASK_CLOSE = 2026,     // never posted: selects the close question in ConfirmClose
    WM_UPDATE_DONE = 2027,          // wParam 1: the run is over
};

enum {
    kStatusTextSize = 64,
    // The body of a manifest answer: its size, the manifest, the signature count and up
    // to four signatures.
    kSignedManifestMaxBody = 4 + kManifestMaxSize + 4 + kMaxSignatures * kSignatureEntrySize,
};

struct WorkerContext {
    HWND window;
    HANDLE thread;
    int spanStart;                  // current progress span, percent of the whole bar
    int spanEnd;
    char statusText[kStatusTextSize];
    unsigned int resultCode;        // launcher result code; 0 until something fails
    SOCKET socket;                  // INVALID_SOCKET whenever no connection is open

    // The status line crosses threads without a lock: the worker brackets every write
    // with statusSequence (odd while writing), the dialog copies until it sees an even,
    // unchanged sequence, so it never shows a mixture of two texts.
    volatile LONG statusSequence;
    // Signalled while the worker may run; reset while the close question is open. The
    // worker waits on it at its safe points only (see WorkerCheckpoint), never while it
    // holds a lock the dialog thread could need.
    HANDLE runEvent;

    // A Launcher with a release key (signed_release.h): the manifest the server of the
    // open connection proved with the operator's signature, and the answer it came in
    // (with every signature), valid while releaseVerified; each address exchange replaces
    // them. releaseRefused tells that some server's manifest was refused during this run.
    bool releaseVerified;
    bool releaseRefused;
    ReleaseManifest release;
    uint8_t releaseBody[kSignedManifestMaxBody];
    uint32_t releaseBodySize;
};

// Sets the context to its start state: spans 0, empty status, result 0, no socket.
void InitWorkerContext(WorkerContext *context);
// Releases what InitWorkerContext created.
void FreeWorkerContext(WorkerContext *context);

// Posts WM_UPDATE_PROGRESS with spanStart + percent * (spanEnd - spanStart) / 100.
void PostProgress(WorkerContext *context, int percent);
// Stores text as the status line when it has at most 63 characters; a longer text is
// ignored and the previous one stays.
void SetStatusText(WorkerContext *context, const char *text);
// Copies a whole status text (never a mixture) into out; false when none could be
// read consistently right now (the caller keeps what it shows).
bool ReadStatusText(WorkerContext *context, char out[kStatusTextSize]);

// A safe point of the worker thread: returns at once unless the dialog has paused the
// worker, in which case it waits until the worker is resumed.
void WorkerCheckpoint(WorkerContext *context);
// Closes the context's socket, if any, and marks it closed.
void CloseWorkerSocket(WorkerContext *context);

// Dialog side of the pause.
void PauseWorker(WorkerContext *context);
void ResumeWorker(WorkerContext *context);
