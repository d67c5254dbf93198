// The separator scanner: finds every occurrence of a search text in a mailbox file and records
// the byte offset of each hit.
//
// It keeps the classic scanner's interface and its exact hit rules, which callers rely on:
// - no back-tracking: after a mismatch at the k-th byte of an attempt, the next attempt begins
//   with the byte after the mismatching one (neither the partial match nor that byte start a hit);
// - an attempt starts only below lngFileSize - intSearchLen, so a hit never ends on the last byte;
// - hits are not tied to line starts; the case switch Check1 (on = case-sensitive) is honoured;
// - a search text in double quotes stands for the text between them.
// Every hit and offset equals what reading the file one byte at a time would give, but the file
// is read in place, shared and read-only (never copied), in large blocks, with 64-bit offsets.
//
// Results go to a SearchState that the job owns: the offset list strMsgPositions (each hit as
// decimal digits followed by "|"), the same offsets as numbers, and blnSearchDone.
#pragma once

#include "platform/file_io.h"
#include "platform/result.h"
#include "scan/scan_events.h"
#include "scan/window_reader.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmark {

struct SearchState {
    std::string strMsgPositions;
    bool blnSearchDone = false;
    std::vector<std::uint64_t> hits;  // strMsgPositions as numbers

    void clear()
    {
        strMsgPositions.clear();
        blnSearchDone = false;
        hits.clear();
    }
};

class FrmFinder {
public:
    FrmFinder(ScanEvents& events, SearchState& state);

    // Inputs, read at the moment of use.
    std::string Text1;   // file name
    std::string Text2;   // search text
    bool Check1 = true;  // case-sensitive

    // Opens path for searching. Never fails to its caller: a missing file leaves nothing open
    // and Find_Click then reports it.
    void Open_MBOX(std::string_view path);
    // Find first: searches from offset 0. Appends one hit or sets blnSearchDone. When the file
    // cannot be opened, the search is ended too (blnSearchDone), so no caller waits for ever.
    [[nodiscard]] Result<void> Find_Click();
    // Find next: resumes right after the last hit; beeps when there is none.
    [[nodiscard]] Result<void> FindNext_Click();
    // Closes the file; fails when none is open.
    [[nodiscard]] Result<void> CloseFile();

    bool isOpen() const noexcept { return m_file.isOpen(); }
    std::uint64_t fileSize() const noexcept { return lngFileSize; }
    // Why the last mailbox could not be opened or read, when it could not.
    const std::optional<Error>& failure() const noexcept { return m_failure; }
    // The open mailbox, for the cutter to read from after the scan.
    const platform::ReadOnlyFile& file() const noexcept { return m_file; }
    // The window the scanner reads through while a mailbox is open (else null): the bytes around
    // the last hit are in it, for whoever judges the hit, without reading them again.
    WindowReader* window() noexcept { return m_reader.get(); }

private:
    [[nodiscard]] Result<void> OpenFile();
    [[nodiscard]] Result<void> SearchString();
    [[nodiscard]] Result<void> GetString();
    [[nodiscard]] Result<void> ScanString();
    void ShowString();
    void sendHitProgress(std::uint64_t offset);
    void warn(std::string_view text, NoticeIcon icon, std::string_view title);
    void endSearch();

    ScanEvents& m_events;
    SearchState& m_state;
    platform::ReadOnlyFile m_file;
    std::unique_ptr<WindowReader> m_reader;
    std::optional<Error> m_failure;
    std::optional<std::uint64_t> m_unsentHit;

    std::string strFileName;
    std::uint64_t lngFileSize = 0;
    std::uint64_t lngPos = 0;
    std::int64_t lngLastHit = -1;
    std::string strSearch;
    std::size_t intSearchLen = 0;
    bool blnFound = false;
};

// Percentage of a hit's position in the file, rounded to the nearest whole number with halves
// going to the even neighbour, as the scanner's progress bar shows it.
float hitProgress(std::uint64_t offset, std::uint64_t fileSize) noexcept;

}  // namespace quillmark
