// What the Launcher decides from the bytes a version server sends: the message headers,
// the address answer and which of its entries are kept, the file header, the zlib data
// against origSize and the CRC-32, the names of launch files, the manifest answer and the
// signed manifest, and the checks of a received file against that manifest. The Launcher
// runs with administrator rights and decodes these bytes before it can know whether any
// signature holds, so these decisions are plain functions over bytes with no Win32 call:
// the receive loops do the socket work and ask them, and the same source builds on Linux
// for the coverage-guided fuzzers. Signature checks and SHA-256 come in through
// ReleaseVerifier (bcrypt.dll on Windows).
#pragma once
#include "common/protocol_wire.h"
#include "common/release_manifest.h"

#include <stddef.h>
#include <stdint.h>

// A received file: its header in host order, its name made safe to use as text (never
// read past the 64-byte field), and the decompressed bytes the record owns.
struct ReceivedFile {
    FileHeader header;
    char name[kFileNameFieldSize + 1];
    unsigned char *data;
    bool refused;  // not the signed release's: neither saved nor listed
};

// CRC-32 (ISO-HDLC, reflected polynomial 0xEDB88320), as zlib's crc32 started from 0.
uint32_t Crc32(const void *data, uint32_t length);

// A new record: zero sizes, empty name, no data.
void InitReceivedFile(ReceivedFile *record);
// Frees the data the record owns and makes it new again.
void FreeReceivedFile(ReceivedFile *record);

// --- Message headers --------------------------------------------------------------------

// Whether a 4-byte header is the address answer that carries the 128-byte body.
bool IsAddressAnswer(const uint8_t header[kMsgHeaderSize]);
// Whether a 4-byte header is the answer to a solo-file request that a file follows.
bool IsSoloFileAnswer(const uint8_t header[kMsgHeaderSize]);
// The number of files a launch-file answer announces, or -1 when the header is no
// launch-file answer.
int LaunchFileAnswerCount(const uint8_t header[kMsgHeaderSize]);
// How many announced files are received into the record table (it holds 30; an answer
// announcing more is cut there and fails).
int LaunchFilesToReceive(int announced);
// Whether a launch file of this slot is one the game's downloaders hold open, so that
// they are ended before it is replaced.
bool LaunchSlotNeedsTerminate(uint32_t slot);

// --- Address answer ---------------------------------------------------------------------

enum AddressDecision {
    kAddressKept = 0,
    kAddressControlByte,  // a line break or other control byte would add settings lines
    kAddressNotSigned,    // not the signed release's entry of that index
};

struct AddressEntry {
    char text[kSrvAddrEntrySize + 1];  // an entry without its NUL is cut at its 32 bytes
    AddressDecision decision;
};

// Reads the 128-byte body of the address answer into entries (four). signedRelease is the
// verified manifest of a Launcher with a release key, NULL for a Launcher without one.
void DecodeAddressAnswer(const uint8_t body[kAddressBodySize],
                         const ReleaseManifest *signedRelease,
                         AddressEntry entries[kSrvAddrEntries]);

// --- Files ------------------------------------------------------------------------------

// Frees what record holds and fills it from an 80-byte file header.
void ReadReceivedFileHeader(ReceivedFile *record, const uint8_t header[kFileHeaderSize]);

enum InflateResult {
    kInflateDone = 0,
    kInflateNoMemory,    // no buffer for origSize bytes: nothing decompressed
    kInflateFailed,      // no zlib stream, or one that holds more than origSize bytes
    kInflateCheckFailed, // fewer than origSize bytes, or the CRC-32 differs (data kept)
};

// Decompresses compSize bytes of zlib data into record->data (origSize bytes of the
// record's header) and checks them against the header's CRC-32.
InflateResult InflateReceivedFile(ReceivedFile *record, const uint8_t *compressed,
                                  uint32_t compSize);

// Whether a name the server gave stays inside the Launcher's folder: not empty, no drive
// or colon, no leading backslash (absolute or UNC), no ".." component, no device name,
// no control byte (a line break would add lines to "Launcher.ini"), and GBK text (code
// page 936) throughout: bytes that are no text reach the disk as another name.
bool IsSafeLaunchFileName(const char *name);

enum LaunchFileDecision {
    kLaunchFileAccepted = 0,
    kLaunchFileSlotOutOfRange,  // no slot of the list (30)
    kLaunchFileUnsafeName,      // IsSafeLaunchFileName says no
    kLaunchFileOwnName,         // one of the Launcher's own files (reason says which)
    kLaunchFileNotAProgram,     // slot 0 that is no program for this machine
};

// Whether a received launch file may be written and listed. ownMachine is the machine
// field of the running Launcher's own PE header (a new Launcher must run where it does).
// *reason is set for kLaunchFileOwnName.
LaunchFileDecision DecideLaunchFile(const ReceivedFile *record, uint16_t ownMachine,
                                    const char **reason);
// Whether size bytes are a Windows program (not a DLL) for the PE machine field machine.
bool IsProgramForMachine(const unsigned char *data, uint32_t size, uint16_t machine);

// --- Signed release ---------------------------------------------------------------------

// SHA-256 and ECDSA P-256 verification as the system provides them. missing is NULL when
// both functions are there; otherwise why not (the check then fails with that text).
struct ReleaseVerifier {
    void *state;
    bool (*sha256)(void *state, const void *data, uint32_t size, uint8_t digest[kSha256Size]);
    // Whether signature (r and s, 32 bytes each, big-endian) is a signature of digest by
    // the key with point (X and Y, 32 bytes each, big-endian).
    bool (*verifyP256)(void *state, const uint8_t point[64], const uint8_t digest[kSha256Size],
                       const uint8_t signature[kSignatureSize]);
    const char *missing;
};

enum ManifestAnswerKind {
    kManifestAnswerWrong = 0,  // not the manifest answer
    kManifestAnswerUnsigned,   // the server's release is not signed
    kManifestAnswerSigned,     // the body follows
};

ManifestAnswerKind DecodeManifestAnswer(const uint8_t header[kMsgHeaderSize]);

// The framing of a manifest answer's body as it arrives: given the first have bytes
// (4 first, then what the previous call asked for), the total size the body needs, which
// equals have when it is whole; 0 when the framing is wrong, with *problem saying why.
// Never asks for more than kSignedManifestBodyMax bytes.
enum {
    kSignedManifestBodyMax = 4 + kManifestMaxSize + 4 + kMaxSignatures * kSignatureEntrySize,
};
size_t ManifestAnswerNeeds(const uint8_t *body, size_t have, const char **problem);

// Checks the body of a manifest answer (as a release folder keeps it in
// signed-manifest.bin) against key (X and Y of its point): its framing, the signature of
// this key (found by its identifier, the first 8 bytes of SHA-256 over X and Y) and the
// manifest's own rules. NULL, with *manifest filled, when all hold; otherwise why not.
const char *CheckSignedManifestWith(const ReleaseVerifier *verifier, const uint8_t key[64],
                                    const uint8_t *body, size_t size,
                                    ReleaseManifest *manifest);

// Whether size bytes have the size and SHA-256 signed for them: NULL, or why not.
const char *SignedBytesProblem(const ReleaseVerifier *verifier, const unsigned char *data,
                               uint32_t size, uint32_t signedSize, const uint8_t *signedDigest);
// Whether a received launch file is the signed release's file of its slot: the same name,
// size and SHA-256. release is NULL when no signed release was verified. NULL, or why not.
const char *SignedLaunchFileProblem(const ReleaseVerifier *verifier,
                                    const ReleaseManifest *release, const ReceivedFile *record);
// The same for a received solo file of identifier id: its size and SHA-256.
const char *SignedSoloFileProblem(const ReleaseVerifier *verifier, const ReleaseManifest *release,
                                  uint32_t id, const ReceivedFile *record);
