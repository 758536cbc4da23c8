// The list of update packages that lead on from the installed version, fetched from the list server.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "net/time_value.h"
#include "update/list_signature.h"
#include "update/version.h"

struct PackageEntry {
  VersionCode version;  // the version the package brings the client to
  std::string url;      // as listed; its last segment is the file name
  std::string md5;      // as listed; compared exactly with a lower-case digest
};

// Packages newer than the installed version, in the server's order.
extern std::vector<PackageEntry> UpdateList;

// Reads the installed version and fetches the list from up to four URLs of Url.ini. When the version is
// unreadable or all four fail it shows a box and ends the process with exit code 2. Returns the size of
// UpdateList (0 without a request for the sentinel version). When *stop becomes true the request
// under way gives up and no further URL is tried: UpdateList stays empty, no box is shown, and the
// result is -1.
int FetchUpdateList(const std::atomic<bool>* stop = nullptr);

// One attempt at the list at url and, with a key, at its signature beside it (url + ".minisig", before a
// query): connectLimit to connect, then receiveLimit for the rest of the pair, the signature's request
// included. notBefore is the newest signature time accepted before (0: none).
struct ListAttempt {
  std::string body;              // the list, when it arrived and its signature holds
  std::string error;             // why not
  bool signatureFailed = false;  // the list arrived, its signature did not hold
  std::uint64_t signedAt = 0;    // the signature's timestamp (0: none)
};
ListAttempt FetchListAt(const std::string& url, const ListKeySetting* key, std::uint64_t notBefore,
                        NetModel::TimeValue connectLimit, NetModel::TimeValue receiveLimit,
                        const std::atomic<bool>* stop);

// Clears UpdateList and appends the package records of body newer than installed.
void ParseUpdateList(VersionCode installed, const std::string& body);

// The text after the last "/" of a package URL; empty when there is none, or when the name could leave
// DownloadDir (it contains "\" or ":", or is "..").
std::string PackageFileName(const std::string& url);
