// The PST verifier: reads a file back and checks every invariant it can ([MS-PST] 2.2-2.7).
//
// Owns: nothing of the writer; it reads bytes only, so it also checks files made elsewhere.
// Checks: header CRCs and counters; every map page, B-tree page and block trailer (type, CRC,
// signature, ID); B-tree key order, equal leaf depth and first keys; AMap bits against the pages
// and blocks in use; reference counts; data and subnode trees; each node's heap, BTH, PC and TC;
// parent links; folder counts and table rows against the objects they describe; and the rules
// only Outlook enforces: even page BIDs, sub-node IDs within the header's counters, name-map
// buckets, entry-ID and conversation-index shapes, the search and receive folder nodes.
// It never stops at the first fault: issues are collected (up to maxIssues), each prefixed with
// where it was found. A file is read piece by piece through a small cache, so memory stays under
// about 100 MB plus a few dozen bytes per block, whatever the file's size; damaged input is
// reported, never followed into a loop or past the end of the data.
#pragma once

#include "platform/result.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace quillmark::pst {

struct VerifyIssue {
    std::string where;  // e.g. "block 0x48", "node 0x200024 row 3"
    std::string what;
};

struct VerifyReport {
    std::vector<VerifyIssue> errors;    // the file breaks a rule of the format
    std::vector<VerifyIssue> warnings;  // allowed, but not what a fresh file should contain
    bool truncated = false;             // more errors than maxIssues
    std::size_t nodes = 0, blocks = 0, folders = 0, messages = 0;

    bool ok() const { return errors.empty(); }
    // One line per issue, then the counts.
    std::string text() const;
};

// How far up the layers to check: a bare node database (as the NDB layer's tests write) has no
// message store to check.
enum class VerifyDepth { Storage, Everything };

[[nodiscard]] VerifyReport verify(std::span<const std::uint8_t> bytes, std::size_t maxIssues = 100,
                                  VerifyDepth depth = VerifyDepth::Everything);
[[nodiscard]] Result<VerifyReport> verify(const std::filesystem::path& path, std::size_t maxIssues = 100,
                                          VerifyDepth depth = VerifyDepth::Everything);

}  // namespace quillmark::pst
