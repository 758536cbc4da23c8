// A safety net before publishing: packages applied to a scratch copy of a released tree with the
// program's own engine, then compared with the tree they should lead to.
#pragma once
#include <string>
#include <vector>

#include "update/version.h"

namespace nolkpack {

struct PackageToApply {
  std::string path;
  VersionCode version;
};

// What a client does with a run's packages below root: each package opened with its version,
// every record applied in order, then the obsolete paths removed as from the program's folder
// startDir. Message boxes are answered with cancel and reported. False with *failure in words at the
// first package the client would stop at; *names gets each package's record names.
bool ApplyLikeTheClient(const std::vector<PackageToApply>& packages, const std::string& root,
                        const std::string& startDir, std::vector<std::vector<std::string>>* names,
                        std::string* failure);

// The version a release tree's var/gac/update.ini says; 0 when it has none that reads.
VersionCode ReleaseVersion(const std::string& dir);

// Applies the packages to a scratch copy of oldDir and compares the result with newDir (GBK paths).
// *problems lists each difference and each name or list line that would hurt a client on Windows;
// *notes what is fine but worth knowing. False with *error when the check could not be made.
bool VerifyPackages(const std::string& oldDir, const std::string& newDir, const std::vector<std::string>& packages,
                    std::vector<std::string>* problems, std::vector<std::string>* notes, std::string* error);

}  // namespace nolkpack
