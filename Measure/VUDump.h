// Reading the virtual UPS tree from outside the card program (the tarvik-vu tool):
// a bounded snapshot of the segment and its rendering as text or JSON.
//
// The segment is untrusted input: every link is checked against the bytes read,
// each node is shown at most once (link cycles end the walk), texts are shown only
// up to their array size with unprintable bytes escaped, and enumeration values
// outside the known ones are shown as numbers.
#ifndef TVK_VUDUMP_H
#define TVK_VUDUMP_H

#include "Types.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vudump {

enum class Format { Text, Json };

// Exit statuses of the reader.
constexpr int EXIT_OK = 0;
constexpr int EXIT_NO_SEGMENT = 1;   // no key file or no segment under the key
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_UNREADABLE = 3;   // segment present but not readable as a tree
constexpr int EXIT_DAMAGED = 4;      // tree shown, with problems (bad links, cycles)

struct Snapshot {
    std::vector<uint8> bytes;        // copy of the first bytes of the segment
    bool settled = true;             // false: the card was publishing during every try
    size_t segmentSize = 0;          // whole size of the segment
    int key = -1;
    int shmId = -1;
};

// Nodes reachable through the uint8 links (indices 0..254) fit in this many bytes;
// nothing beyond them is copied.
size_t maxSnapshotBytes();

// Attaches read-only to the segment keyed on ftok(dir + "/Tarvik", 1), copies it
// and detaches at once (a reader that stays attached delays the card's shutdown).
// EXIT_OK, or EXIT_NO_SEGMENT / EXIT_UNREADABLE with a message in `err`.
int takeSnapshot(const std::string &dir, Snapshot &snap, std::string &err);

// Tries a copy takes before it gives up waiting for a publication to end (about
// 1 ms apart).
constexpr int kSnapshotTries = 50;
// Copies the first `n` bytes of the segment at `seg` into `snap.bytes`, retrying
// while the card publishes (publication counter odd or changed during the copy);
// `betweenTries` runs between two tries (default: a pause of 1 ms).
void copyPublished(const uint8 *seg, size_t n, Snapshot &snap, const std::function<void()> &betweenTries = {});

// Renders the tree held in `snap`; returns EXIT_OK, EXIT_DAMAGED or EXIT_UNREADABLE.
int formatTree(const Snapshot &snap, Format fmt, std::string &out);

} // namespace vudump

#endif
