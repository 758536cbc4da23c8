// The update list as operators keep it: one "X.Y.Z URL md5" line per package, in the order clients
// apply them. Lines are replaced in place rather than added twice, and a list is checked against the
// packages it names before it is published.
#pragma once
#include <string>
#include <vector>

#include "update/version.h"

namespace nolkpack {

// The URL names the package at packagePath: one word whose text after the last "/" (what clients
// look for in var/gac) is the package's file name. False with *why in words.
bool CheckPackageUrl(const std::string& url, const std::string& packagePath, std::string* why);

// Puts the line of the package at packagePath into the list at listPath (created when absent): it
// replaces the line of the same version, or goes before the first newer one, or at the end. Other
// lines stay as they are. *done says what was changed. False with *error, the list untouched.
bool UpdateListFile(const std::string& listPath, const std::string& packagePath, const std::string& url,
                    std::string* done, std::string* error);

// Checks the list at listPath against the chain's packages, clients being at oldVersion: every
// version once and in rising order, each record on a line of its own, every package of the chain
// listed with its file name and MD5, nothing newer than the chain or between its packages that
// the chain lacks. Appends each fault to *problems; false with *error when the list is unreadable.
bool CheckUpdateList(const std::string& listPath, VersionCode oldVersion, const std::vector<std::string>& packages,
                     std::vector<std::string>* problems, std::string* error);

}  // namespace nolkpack
