// Fetching one update package into DownloadDir: the body goes into "<name>.nolkpatch-part" beside
// the package, digested while it is written, and takes the package's name only when it is whole and
// its MD5 is the listed one. A side file left by a cut or a killed run is resumed with a range.
// Memory stays bounded: the body passes through the transfer's buffer, never held whole.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "update/name_rules.h"  // kPartSuffix

struct FetchSettings {
  std::string agent = "nolkpatch";
  // A close: the transfer ends within a second, the side file stays for the next run.
  const std::atomic<bool>* stop = nullptr;
  // A cut connection (or a stall, or no answer) is resumed this many times, after a pause that grows
  // by pauseStepMs each time.
  int maxResumes = 5;
  int pauseStepMs = 250;
  int stallSeconds = 30;
  // No transfer may leave less than this free on the folder's volume.
  std::int64_t minFreeBytes = std::int64_t(256) << 20;
  // Told of every piece of body written to the side file (bytes of this piece).
  std::function<void(std::int64_t)> onBytes;
};

enum class FetchResult {
  kFetched,  // the package lies under its name with the listed digest
  kFailed,   // it could not be had; the run log says why
  kStopped,  // *stop became true
};

// Fetches url into folder + "/" + name. Writes one run-log line per transfer. A name that is not a
// single safe file name fails without a request.
FetchResult FetchPackage(const std::string& url, const std::string& folder, const std::string& name,
                         const std::string& md5, const FetchSettings& settings);

// Url.ini's FetchPackages: "1" turns fetching on; absent, empty or "0" leaves it off. Any other value
// shows a box and ends the process with exit code 2, before any request.
bool ReadFetchPackagesSetting();

// True when the file at path opens and its MD5 is md5; no log line, no exception.
bool PackageIsCurrent(const std::string& path, const std::string& md5, const std::atomic<bool>* stop);
