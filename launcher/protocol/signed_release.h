// Signed releases. A Launcher built with the operator's public key (the CMake option
// DR_RELEASE_PUBLIC_KEY) asks every server it connects to for the release manifest that
// the operator signed offline (RC_Manifest, right after the address exchange; the layout
// is common/release_manifest.h) and then writes or runs only what that manifest names:
// address entries it lists, launch files of its slot, name, size and SHA-256, solo files
// of its size and SHA-256. A manifest that is missing, malformed, not signed with the
// Launcher's key, or older than the last one accepted fails the connection like a failed
// address exchange. A Launcher without a key does none of this.
#pragma once
#include "common/release_manifest.h"
#include "launcher/protocol/wire_decode.h"
#include "launcher/core/worker_context.h"
#include <stddef.h>
#include <stdint.h>

// Whether this Launcher carries a release key.
bool HasReleaseKey();
// Checks the body of a manifest answer (as a release folder keeps it in
// signed-manifest.bin) against key (X and Y of its point): its framing, the signature of
// this key (found by its identifier, the first 8 bytes of SHA-256 over X and Y) and the
// manifest's own rules. NULL, with *manifest filled, when all hold; otherwise why not.
const char *CheckSignedManifest(const uint8_t key[64], const uint8_t *body, size_t size,
                                ReleaseManifest *manifest);
// The number of the last release accepted, kept in "Launcher.ini" (0 before the first).
uint32_t ReadAcceptedReleaseNumber(const char *iniPath);
// The manifest exchange on the context's open socket, right after its address answer:
// receives the signed manifest, checks it and the release number. 0 when accepted (the
// context holds the manifest; its number is kept once the update completes it); -1 when
// refused, with a log line saying why and context->releaseRefused set.
int RequestReleaseManifest(WorkerContext *context);
// After the launch-file update: whether every launch file the verified manifest names is
// on disk with its size and SHA-256 (read from the files themselves). Only then is the
// release's number kept as the last one accepted. Logs each file that is not.
bool CompleteSignedRelease(WorkerContext *context);
// Whether a received launch file is the signed release's file of its slot: the same name,
// size and SHA-256. Logs why not.
bool IsSignedLaunchFile(const WorkerContext *context, const ReceivedFile *record);
// Whether a received solo file is the signed release's file of that identifier: the same
// size and SHA-256. Logs why not.
bool IsSignedSoloFile(const WorkerContext *context, uint32_t id, const ReceivedFile *record);
// Whether the new Launcher saved as path carries a release key that signed the release it
// came with. A Launcher with a key never moves in one that would refuse that release: one
// built without the key, or with a new key the release is not yet signed with. Logs why not.
bool IsTrustedNewLauncher(const WorkerContext *context, const char *path);
