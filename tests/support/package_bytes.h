// Package bytes made by hand for the package tests and fuzz targets: records, bzip2 bodies and
// whole package files, independent of nolkpack's writer.
#pragma once
#include <cstdint>
#include <string>

namespace testsupport {

std::string Le32(std::uint32_t v);
// One record: kind (file bytes as given, e.g. "FDDA"), fileLength, name (its NUL is added), data.
std::string Record(const std::string& kindBytes, std::uint32_t fileLength, const std::string& name,
                   const std::string& data);
// One MODI run.
std::string Run(std::uint32_t skip, const std::string& bytes);
// A bzip2 stream of body; blockSize100k 1..9.
std::string Bzip2(const std::string& body, int blockSize100k = 9);
// Decompresses one whole bzip2 stream with libbz2's one-shot decoder; false when it is no such stream.
bool Bunzip2(const std::string& stream, std::size_t maxSize, std::string* out);
// "ZBNR", version, reserved, then the body compressed.
std::string PackageBytes(std::uint32_t version, const std::string& body, std::uint32_t reserved = 0);

}  // namespace testsupport
