// Checksums of files: "TYPE=HEX" texts and digests computed by reading a file back.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

// "TYPE=HEX" with TYPE md5, sha1, sha256 or sha512 (any case, "sha-256" too) and HEX of that
// digest's length: the text in the form "sha256=hex" (lower case); nullopt otherwise.
std::optional<std::string> parseChecksum(const std::string& text);

// The digest of the file at path in the checksum's form ("sha256=hex"), for algorithm
// "md5", "sha1", "sha256" or "sha512"; nullopt when the file cannot be read (why: the reason).
std::optional<std::string> FileDigest(const std::string& path, const std::string& algorithm, std::string& why);

// FileDigest read on a thread of its own: a large file would hold the event loop, and every
// download of the process with it. done gets the digest (nullopt: why) from the event loop,
// unless the handle returned has been let go of by then.
using DigestDone = std::function<void(const std::optional<std::string>& digest, const std::string& why)>;
std::shared_ptr<void> FileDigestLater(const std::string& path, const std::string& algorithm, DigestDone done);
