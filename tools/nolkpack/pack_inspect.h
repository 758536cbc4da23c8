// Looking into packages: a person-readable listing, and the package's line of the update list.
#pragma once
#include <string>

#include "update/version.h"

namespace nolkpack {

// The header and every record (kind, name, lengths, runs). False with *error on an unreadable package.
bool ListPackage(const std::string& path, std::string* out, std::string* error);

// "X.Y.Z URL md5" and a line feed, the version taken from the package's header.
bool PackageLine(const std::string& path, const std::string& url, std::string* out, std::string* error);

// The version a package leads to, from its header. False with *error when it is no package.
bool ReadPackageVersion(const std::string& path, VersionCode* version, std::string* error);

}  // namespace nolkpack
