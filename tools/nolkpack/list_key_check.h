// Before a signed update list is published: its signature, made with minisign, checked against the
// operator's public key, and every package it names checked against its listed MD5.
#pragma once
#include <string>
#include <vector>

namespace nolkpack {

// The key setting from keyArg: a file (minisign.pub, or one holding its base64 line alone) or the text
// ListKey holds (the base64 line, optionally followed by legacy and untimed). False with *error when it
// is no minisign public key.
bool ReadListKeyArgument(const std::string& keyArg, std::string* base64Line, std::string* error);

// Checks listPath + ".minisig" over the list's bytes as a client with that key setting does, the list
// being published under its own file name; one line per fault in *problems.
void CheckListSignatureFile(const std::string& listPath, const std::string& keySetting,
                            std::vector<std::string>* problems);

// Checks listPath + ".minisig" over the list's bytes with the key (when base64Key is not empty), the
// versions (each once, rising), then each package record: the file named by its URL's last segment,
// looked for among packages (by file name) and then beside the list, must have the listed MD5. GBK
// paths. *problems gets one line per fault; false with *error when the list cannot be read.
bool VerifyListFile(const std::string& listPath, const std::string& base64Key, const std::vector<std::string>& packages,
                    std::vector<std::string>* problems, std::string* error);

}  // namespace nolkpack

namespace nolkpack {

// `verify --list FILE [--key KEY] [PACKAGE...]` with its messages; arguments as given on the command
// line. The exit code: 0 all good, 1 a problem found, 2 bad arguments.
int VerifyListCommand(const std::string& listArg, const std::string& keyArg,
                      const std::vector<std::string>& packageArgs);

}  // namespace nolkpack
